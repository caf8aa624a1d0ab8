// The instrument's editor, where the platform has one.
#pragma once

class AEffEditor;
class PLINKA;

// A new editor for the instrument, or null where there is none (this platform
// has no editor yet, or it could not be allocated).
AEffEditor* createEditor(PLINKA& instrument);

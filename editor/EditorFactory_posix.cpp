// No editor window on this platform yet: hosts show their own generic view.
#include "EditorFactory.h"

AEffEditor* createEditor(PLINKA&)
{
    return nullptr;
}

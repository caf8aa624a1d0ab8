#include "EditorFactory.h"

#include "GUI.h"

#include <new>

AEffEditor* createEditor(PLINKA& instrument)
{
    return new (std::nothrow) GUI(&instrument);
}

// Any bytes read as an .fxb/.fxp file either fail with a message or give a
// file that writes back to bytes reading as the same file.
#include "FuzzCheck.h"
#include "tools/bank/FxFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fx::File file;
    std::string error;
    if (!fx::read(data, size, file, error)) {
        check(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    check(file.programName.size() < fx::kProgramNameBytes);
    const std::vector<unsigned char> written = fx::write(file);
    fx::File again;
    check(fx::read(written.data(), written.size(), again, error));
    check(again == file);
    check(fx::write(again) == written);
    return 0;
}

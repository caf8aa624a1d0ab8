// Any text a user types or pastes as a Sample program's key map compiles to a
// map whose entries all name samples of the bank with rates and levels in
// range, or to one of the messages and an all-silent map; never a read or
// write out of bounds.
#include "FuzzCheck.h"
#include "engine/KeyMapCompiler.h"

#include <cstdlib>
#include <memory>
#include <string>

namespace {

bool isKnownMessage(const char* message)
{
    for (const char* known : {kErrorKeyMapEntry, kErrorKeyMapKey, kErrorKeyMapRate, kErrorKeyMapFlag,
                              kErrorKeyMapStartLevel, kErrorKeyMapMissingSample, kErrorKeyMapKeyRedefinition})
        if (message == known)
            return true;
    return false;
}

std::unique_ptr<SampleBank> makeBank()
{
    auto bank = std::make_unique<SampleBank>();
    const uint8_t bytes[17] = {};
    for (const char* name : {"kick", "snare", "hat", "bass", "a", "b.1", "long-name_2"})
        check(bank->put(name, bytes, 17) == nullptr);
    return bank;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);  // stops at an embedded NUL when compiled
    static const std::unique_ptr<SampleBank> bank = makeBank();
    static auto map = std::make_unique<KeyMap>();
    const char* message = compileKeyMap(text.c_str(), *bank, *map);
    if (message)
        check(isKnownMessage(message));
    for (const KeyEntry& entry : map->keys) {
        if (message || !entry.sounds()) {
            check(entry == KeyEntry{});
            continue;
        }
        check(entry.sample < bank->count);
        check(entry.rate <= kMaxRateIndex);
        check(entry.startLevel >= kNoStartLevel);
    }
    return 0;
}

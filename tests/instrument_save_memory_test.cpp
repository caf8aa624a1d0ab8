// A save takes memory in proportion to what it writes: a bank of a few
// programs does not cost the megabytes the largest bank would.
#include "AllocatedBytes.h"
#include "engine/SampleBank.h"
#include "instrument/Chunk.h"
#include "instrument/Instrument.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

TEST(SaveMemory, ASaveAllocatesTheSizeOfWhatItWritesAndTheSameBytes)
{
    const auto instrument = std::make_unique<Instrument>();
    const unsigned char* data = nullptr;
    for (const bool withSample : {false, true}) {
        if (withSample) {
            const std::vector<uint8_t> kick(4081, 0x5A);
            ASSERT_EQ(instrument->putSample("kick", kick.data(), static_cast<int32_t>(kick.size())), nullptr);
        }
        allocatedbytes::start();
        const size_t size = instrument->saveState(&data);
        const size_t asked = allocatedbytes::asked();
        ASSERT_GT(size, 0u);
        EXPECT_LE(asked, size + 1024) << "a chunk of " << size << " bytes";
        EXPECT_LT(size, chunk::kMaxWrittenBytes / 16);

        // The bytes are those written into the largest buffer, as before.
        const std::vector<unsigned char> saved(data, data + size);
        std::vector<unsigned char> whole(chunk::kMaxWrittenBytes);
        chunk::Settings settings{};
        const auto samples = std::make_unique<SampleBank>();
        struct Bank {
            ProgramBank programs;
        };
        const auto bank = std::make_unique<Bank>();
        chunk::read(saved.data(), saved.size(), bank->programs, samples.get(), settings);
        whole.resize(chunk::write(bank->programs, samples.get(), settings, whole.data()));
        EXPECT_EQ(whole, saved);
        EXPECT_EQ(chunk::writtenBytes(bank->programs, samples.get(), settings), size);
        EXPECT_EQ(chunk::write(bank->programs, samples.get(), settings), saved);
    }
}

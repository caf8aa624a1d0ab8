// The hand-over of bank snapshots to the audio thread: the reader always gets
// the newest published one, keeps its own while nothing new comes, and the
// writer is never handed the one being read.
#include "EngineTestSupport.h"
#include "engine/BankExchange.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

TEST(BankExchange, TheReaderGetsTheNewestAndTheWriterNeverItsSlot)
{
    const auto bank = factoryBank();
    auto exchange = std::make_unique<BankExchange>();
    exchange->initialise(bank->programs);
    // Each published snapshot is told apart by its mark.
    uint32_t mark = 0;
    auto publish = [&] {
        exchange->back().loadSerial = ++mark;
        exchange->publish();
    };

    const BankSnapshot* first = &exchange->acquire();
    EXPECT_EQ(&exchange->acquire(), first) << "without a publish the reader keeps its slot";
    publish();
    publish();
    EXPECT_EQ(exchange->acquire().loadSerial, 2u) << "two publishes before a read: the newest";
    const BankSnapshot* reading = &exchange->acquire();
    EXPECT_EQ(reading->loadSerial, 2u);

    // Any order of publishes and reads: the writer's slot is never the one
    // in the reader's hands, and a read after a publish sees that publish.
    std::mt19937 random(7);
    for (int step = 0; step < 10000; ++step) {
        if (random() % 2) {
            ASSERT_NE(&exchange->back(), reading) << step;
            publish();
            reading = &exchange->acquire();
            ASSERT_EQ(reading->loadSerial, mark) << step;
        } else {
            ASSERT_NE(&exchange->back(), reading) << step;
            exchange->back().loadSerial = 0;  // a writer filling its slot without publishing
            ASSERT_EQ(exchange->acquire().loadSerial, mark) << step;
        }
    }
}

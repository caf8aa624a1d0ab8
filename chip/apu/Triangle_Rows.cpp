#include "Triangle_Rows.h"

#include <mutex>
#include <vector>

Triangle_Rows::Triangle_Rows(const Synth& synth) : unit_(synth.unit()), eq_(synth.eq())
{
    synth.aligned_window_rows(1, up_);
    synth.aligned_window_rows(-1, down_);
}

std::shared_ptr<const Triangle_Rows> Triangle_Rows::shared_for(const Synth& synth)
{
    // Sets live while a triangle holds them; the list keeps no set alive.
    static std::mutex lock;
    static std::vector<std::weak_ptr<const Triangle_Rows>> sets;
    const std::lock_guard<std::mutex> guard(lock);
    std::erase_if(sets, [](const auto& set) { return set.expired(); });
    for (const auto& set : sets) {
        if (auto rows = set.lock(); rows && rows->unit_ == synth.unit() && rows->eq_ == synth.eq())
            return rows;
    }
    std::shared_ptr<const Triangle_Rows> rows(new Triangle_Rows(synth));
    sets.push_back(rows);
    return rows;
}

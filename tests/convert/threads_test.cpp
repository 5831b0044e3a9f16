// Objects on many threads switching between filled and unknown modes: every result stays what
// one thread alone would get. Run under ThreadSanitizer in CI.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/calls.h"
#include "support/object.h"
#include "support/tables.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

TEST(Threads, ObjectsConvertConsistentlyWhileOthersSwitchModes) {
    ResetTables();
    // Modes 1 to 3 have maps; the other 47 modes each thread visits are new.
    AddCode(1, L"sunny", L"\xE63E");
    AddCode(2, L"sunny", L"\xE488");
    AddCode(3, L"sunny", L"\xE04A");
    g_tables.defaults = {L":([a-z]+):", L"[%1%]", L":%1%:", L"?"};
    g_tables.userAgentRules.Append(1, L"DoCoMo/.*");
    g_tables.userAgentRules.Append(2, L"KDDI-.*");

    constexpr int kThreads = 8;
    constexpr int kModes = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 20; ++round) {
                auto obj = MakeObject();
                unique_bstr ua = Bstr(t % 2 ? u"KDDI-CA31" : u"DoCoMo/2.0");
                for (int i = 0; i < kModes; ++i) {
                    // Modes 1..3 and then modes shared by all threads or new to this one.
                    const int mode = i < 3 ? i + 1 : 100 + (i * 7 + t * 13 + round) % 200;
                    obj->put_MapMode(static_cast<EMapMode>(mode));
                    const std::u16string code = mode == 1   ? u"\xE63E"
                                                : mode == 2 ? u"\xE488"
                                                : mode == 3 ? u"\xE04A"
                                                            : u"[sunny]";
                    if (Localize(obj.get(), u"a:sunny:b").text != u"a" + code + u"b") ++failures;
                    const std::u16string back = mode <= 3 ? u":sunny:" : u"[sunny]";
                    if (Globalize(obj.get(), code).text != back) ++failures;
                    LONG id = -1;
                    obj->GetUserAgentID(ua.get(), &id);
                    if (id != (t % 2 ? 2 : 1)) ++failures;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(g_tables.idToCodeByMode.Modes(), (std::vector<int32_t>{1, 2, 3}));
    ResetTables();
}

}  // namespace

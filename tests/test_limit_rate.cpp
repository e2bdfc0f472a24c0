// The speed cap: the speed a player writes, where it is read from, and the
// budget every transfer of a run shares.
#include <gtest/gtest.h>

#include <QStringList>
#include <tuple>

#include "transfer/SpeedCap.h"
#include "update/LimitRate.h"

using namespace modUpdate;

namespace {

TEST(LimitRate, ReadsSpeedsAsCurlWritesThem) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"1000", 1000},
        {"500k", 512'000},
        {"2M", 2 << 20},
        {"1g", 1 << 30},
        {"1.5M", 1'572'864},
        {" 64K\n", 65'536},
        {"0", 0},
        {"8796093022207M", 9'223'372'036'853'727'232}};
    for (const auto& [text, speed] : cases)
        EXPECT_EQ(ReadSpeed(QString::fromLatin1(text)), speed) << text;
    // Not speeds: beyond 64 bits, below a byte a second, unknown suffixes, nothing.
    for (const char* text :
         {"8796093022208M", "99999999999999999999G", "0.1", "fast", "2MB", "", ".5M", "2T"})
        EXPECT_EQ(ReadSpeed(QString::fromLatin1(text)), -1) << text;
}

TEST(LimitRate, TheCommandLineWinsAndAWrongValueIsSaidAndLeftOut) {
    // Arguments after the program's name, the environment, the cap, a part of the warning.
    const std::tuple<QStringList, const char*, std::int64_t, const char*> cases[] = {
        {{}, "", 0, ""},
        {{"--repair"}, "1M", 1 << 20, ""},
        {{"--limit-rate", "2M"}, "1M", 2 << 20, ""},
        {{"--limit-rate", "1k", "--limit-rate=3k"}, "", 3072, ""},
        {{}, "fast", 0, "QUELMOR_LIMIT_RATE: \"fast\" is not a speed such as 500k or 2M"},
        {{"--limit-rate"}, "1M", 0, "--limit-rate: \"\" is not a speed"},
        {{"--limit-rate", "--repair", "--limit-rate", "--", "5k"}, "", 0, ": \"\" is not"},
    };
    for (const auto& [arguments, environment, cap, said] : cases) {
        QString warning = QStringLiteral("left over");
        EXPECT_EQ(LimitRateOf(QStringList{"Quelmor"} + arguments, environment, warning), cap)
            << arguments.join(' ').toStdString();
        EXPECT_EQ(warning.isEmpty(), *said == '\0') << warning.toStdString();
        EXPECT_TRUE(warning.contains(QString::fromLatin1(said))) << warning.toStdString();
    }
}

TEST(LimitRate, TheBudgetIsEarnedAtTheCapAndSpentByWholePieces) {
    using transfer::SpeedCap;
    const SpeedCap::Clock::time_point start;
    SpeedCap cap(1000, start); // 1000 bytes per second
    // Milliseconds after the start; bytes to spend (0: only ask how long to
    // wait); whether they pass; then the wait before the next spending passes.
    const std::tuple<int, int, bool, int> steps[] = {
        {0, 10, false, 1},     // nothing saved up at the start
        {100, 300, true, 201}, // 100 earned: the piece passes whole, 200 owed
        {250, 1, false, 51},   // 50 of them paid back
        {301, 0, false, 0},    // paid back and 1 earned
        {301, 1, true, 1},     // spent
        {5000, 0, false, 0},   // a long pause saves up only a quarter second...
        {5000, 251, true, 2},  // ...250 bytes, so 251 leave one owed
        {5002, 0, false, 0},
    };
    for (const auto& [ms, bytes, passes, wait] : steps) {
        const SpeedCap::Clock::time_point now = start + std::chrono::milliseconds(ms);
        if (bytes > 0) {
            EXPECT_EQ(cap.Spend(bytes, now), passes) << ms;
        }
        EXPECT_EQ(cap.WaitMs(now), wait) << ms;
    }
}

} // namespace

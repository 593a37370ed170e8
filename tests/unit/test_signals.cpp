// The handlers only count deliveries; RunSignalWork serves what piled up, on its own thread.
#include <gtest/gtest.h>
#include <signal.h>

#include <utility>

#include "fixtures.h"
#include "listen/signals.h"
#include "process.h"
#include "storage/sinks/textlog.h"
#include "storage/sinks/trashlog.h"
#include "storage/snapshot.h"

using namespace testsupport;

// A second rotation in a row would copy the emptied table over the ".previous" rows. The
// rotation is only asked for here: the SQLite writer makes it.
TEST(Signals, PiledUpTogglesKeepTheirParityAndRotationsRunOnce) {
    UseSwitches({});
    SetupSignals();
    for (int signo : {SIGUSR2, SIGUSR2, SIGHUP, SIGWINCH, SIGWINCH}) raise(signo);
    testing::internal::CaptureStderr();
    RunSignalWork();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Begun rotation of DB file\n");
    EXPECT_EQ(TakeDatabaseRequests(), unsigned{kRotationAsked});
    EXPECT_EQ((std::pair{SinkOn(kTextLogSink), SinkOn(kTrashLogSink)}), (std::pair{true, false}));
}

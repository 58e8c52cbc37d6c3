// Drive detection against the kernel's real mount table. The test process
// enters a private mount namespace, mounts small tmpfs "drives" under a
// temporary directory and unmounts them to pull a drive; nothing is visible
// outside the process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "access/XR9ALCOMMFactory.h"
#include "access/Xr9AlHandle.h"
#include "common/MountNamespace.h"
#include "common/TestSupport.h"
#include "memorymedia/XR9ALMM.h"

namespace {

using xr9test::ScopedMount;

const char* const kUntouched = "set by the caller";

// The test's own oracle for what counts as a drive directory.
bool looksLikeDrive(const std::string& dir) {
    for (const char* marker : {"usbsd", "/media/disk", "/mnt/usb"}) {
        if (dir.find(marker) != std::string::npos) return true;
    }
    return false;
}

std::vector<std::string> driveLikeMounts() {
    std::vector<std::string> found;
    for (const std::string& dir : xr9test::mountDirectories()) {
        if (looksLikeDrive(dir)) found.push_back(dir);
    }
    return found;
}

// A private mount namespace holding exactly the drives a test mounts.
class Drives : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!xr9test::enterPrivateMountNamespace(&why)) GTEST_SKIP() << why;
        // Mounts of this machine that carry a marker would be taken for a
        // drive; they are detached in this namespace only.
        for (int round = 0; round < 8 && !driveLikeMounts().empty(); ++round) {
            for (const std::string& dir : driveLikeMounts()) umount2(dir.c_str(), MNT_DETACH);
        }
        const std::vector<std::string> left = driveLikeMounts();
        if (!left.empty()) GTEST_SKIP() << "a mount of this machine looks like a drive and stays: " << left.front();
    }

    // Mounts a tmpfs drive at root/relative; its table path without the "/".
    std::string insert(const std::string& relative, const std::string& source = "xr9test") {
        const std::string dir = tmp_.path() + "/" + relative;
        std::filesystem::create_directories(dir);
        auto mount = std::make_unique<ScopedMount>(ScopedMount::tmpfs(dir, source));
        EXPECT_TRUE(mount->ok()) << mount->error();
        mounts_[relative] = std::move(mount);
        return dir;
    }

    void pull(const std::string& relative) {
        auto it = mounts_.find(relative);
        ASSERT_NE(mounts_.end(), it) << relative << " was never inserted";
        EXPECT_TRUE(it->second->unmount()) << relative;
        mounts_.erase(it);
    }

    std::string path(const std::string& relative) const { return tmp_.path() + "/" + relative + "/"; }

    // One poll with a record whose device the caller has set.
    KT::int32 poll(XR9AL& transport, std::string* device) {
        InterfaceSetting setting{0xDEADBEEF, 0xCAFEF00D, kUntouched};
        const KT::int32 result = transport.GetDeviceList(&setting);
        EXPECT_EQ(0xDEADBEEFu, setting.uiHostWord1);
        EXPECT_EQ(0xCAFEF00Du, setting.uiHostWord2);
        *device = setting.device;
        return result;
    }

    xr9test::TempDir tmp_;  // declared first: outlives the mounts inside it
    std::map<std::string, std::unique_ptr<ScopedMount>> mounts_;
};

// ---------------------------------------------------------------- markers

struct MarkerCase {
    const char* name;
    const char* relative;
    bool isDrive;
};

void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }

class DriveMarkers : public Drives, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(DriveMarkers, DirectoryDecidesWhetherAMountIsADrive) {
    insert(GetParam().relative);
    XR9ALMM mm;
    std::string device;
    if (GetParam().isDrive) {
        EXPECT_EQ(0, poll(mm, &device));
        EXPECT_EQ(path(GetParam().relative), device);
        EXPECT_EQ(1, mm.checkMountedDevice());
    } else {
        EXPECT_EQ(-280, poll(mm, &device));
        EXPECT_EQ(kUntouched, device);
        EXPECT_EQ(0, mm.checkMountedDevice());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Directories, DriveMarkers,
    ::testing::Values(MarkerCase{"UsbsdAlone", "usbsd", true},
                      MarkerCase{"MediaDiskWithSuffix", "run/media/disk1", true},
                      MarkerCase{"MntUsbWithSuffix", "mnt/usb0", true},
                      MarkerCase{"MntUsbInCapitals", "mnt/USB0", false},
                      MarkerCase{"MediaDiskInCapitals", "MEDIA/DISK1", false},
                      MarkerCase{"UsbsdInCapitals", "USBSD", false},
                      MarkerCase{"MntUsbWithoutSlash", "mnt_usb0", false},
                      MarkerCase{"MediaDiskInsideAName", "xmedia/disk1", false},
                      MarkerCase{"MntUsbInsideAName", "xmnt/usb0", false}),
    [](const ::testing::TestParamInfo<MarkerCase>& info) { return std::string(info.param.name); });

TEST_F(Drives, OnlyTheMountDirectoryIsExamined) {
    insert("plain", "usbsd-/mnt/usb0-/media/disk");
    XR9ALMM mm;
    std::string device;
    EXPECT_EQ(-280, poll(mm, &device));
    EXPECT_EQ(kUntouched, device);
}

// ---------------------------------------------------------- state table

enum class Act { Insert, Pull, Poll, Reset };

struct Step {
    Act act;
    const char* drive;   // Insert/Pull: the drive; Poll: expected in device; Reset: named in the line printed
    KT::int32 result;    // Poll
};

Step insertDrive(const char* d) { return {Act::Insert, d, 0}; }
Step pullDrive(const char* d) { return {Act::Pull, d, 0}; }
Step pollGives(KT::int32 r, const char* device = nullptr) { return {Act::Poll, device, r}; }
Step reset(const char* forgotten = nullptr) { return {Act::Reset, forgotten, -1}; }

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const Sequence& c, std::ostream* os) { *os << c.name; }

class DriveStates : public Drives, public ::testing::WithParamInterface<Sequence> {};

TEST_P(DriveStates, PollsReportEachChangeOnce) {
    XR9ALMM mm;
    int index = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        switch (step.act) {
        case Act::Insert:
            insert(step.drive);
            break;
        case Act::Pull:
            pull(step.drive);
            break;
        case Act::Poll: {
            std::string device;
            EXPECT_EQ(step.result, poll(mm, &device));
            EXPECT_EQ(step.drive ? path(step.drive) : std::string(kUntouched), device);
            break;
        }
        case Act::Reset: {
            xr9test::CaptureStdout out;
            EXPECT_EQ(-1, mm.ResetPort());
            EXPECT_EQ(step.drive ? "USB memory drive removed (Mount Point) = " + path(step.drive) + " \n" : "",
                      out.text());
            break;
        }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, DriveStates,
    ::testing::Values(
        Sequence{"NoDriveEver", {pollGives(-280), pollGives(-280)}},
        Sequence{"InsertedDriveIsNewOnceThenTheSame",
                 {pollGives(-280), insertDrive("mnt/usb0"), pollGives(0, "mnt/usb0"), pollGives(-281),
                  pollGives(-281)}},
        Sequence{"PulledDriveIsNamedOnceThenNothing",
                 {insertDrive("usbsd"), pollGives(0, "usbsd"), pullDrive("usbsd"), pollGives(-280, "usbsd"),
                  pollGives(-280)}},
        Sequence{"DriveSwappedBetweenPollsCountsAsTheSameButIsRemembered",
                 {insertDrive("mnt/usb0"), pollGives(0, "mnt/usb0"), pullDrive("mnt/usb0"),
                  insertDrive("media/disk2"), pollGives(-281), pullDrive("media/disk2"),
                  pollGives(-280, "media/disk2")}},
        Sequence{"DriveInsertedAgainIsNewAgain",
                 {insertDrive("mnt/usb0"), pollGives(0, "mnt/usb0"), pullDrive("mnt/usb0"),
                  pollGives(-280, "mnt/usb0"), insertDrive("mnt/usb0"), pollGives(0, "mnt/usb0")}},
        Sequence{"ResetDriveStillMountedIsNewAgain",
                 {insertDrive("run/media/disk1"), pollGives(0, "run/media/disk1"), reset("run/media/disk1"),
                  pollGives(0, "run/media/disk1"), pollGives(-281)}},
        Sequence{"ResetDrivePulledIsNotNamed",
                 {insertDrive("usbsd"), pollGives(0, "usbsd"), reset("usbsd"), pullDrive("usbsd"), pollGives(-280)}},
        Sequence{"ResetForgetsOnlyAPolledDriveAndOnlyOnce",
                 {insertDrive("mnt/usb0"), reset(), pollGives(0, "mnt/usb0"), reset("mnt/usb0"), reset()}},
        Sequence{"ResetAfterTheDriveWentPrintsNothing",
                 {insertDrive("usbsd"), pollGives(0, "usbsd"), pullDrive("usbsd"), pollGives(-280, "usbsd"), reset(),
                  insertDrive("usbsd"), pollGives(0, "usbsd")}},
        Sequence{"ResetWithoutDriveChangesNothing",
                 {reset(), insertDrive("usbsd"), pollGives(0, "usbsd"), pollGives(-281)}}),
    [](const ::testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

// ------------------------------------------------------ first match wins

struct OrderCase {
    const char* name;
    std::vector<const char*> mountOrder;  // the first drive-like one is reported
    const char* reported;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class DriveOrder : public Drives, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(DriveOrder, FirstMatchingLineOfTheTableWins) {
    for (const char* d : GetParam().mountOrder) insert(d);
    XR9ALMM mm;
    std::string device;
    EXPECT_EQ(0, poll(mm, &device));
    EXPECT_EQ(path(GetParam().reported), device);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, DriveOrder,
    ::testing::Values(OrderCase{"SameMarkerReversed", {"mnt/usb1", "mnt/usb0"}, "mnt/usb1"},
                      OrderCase{"LaterMarkerFirstInTable", {"mnt/usb0", "usbsd"}, "mnt/usb0"},
                      OrderCase{"NonDrivesBeforeAreSkipped", {"plain", "MNT/USB", "media/disk9", "usbsd"},
                                "media/disk9"}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

TEST_F(Drives, KnownDriveFollowsTheFirstMatchWhenItGoes) {
    insert("mnt/usb0");
    insert("mnt/usb1");
    XR9ALMM mm;
    std::string device;
    EXPECT_EQ(0, poll(mm, &device));
    EXPECT_EQ(path("mnt/usb0"), device);
    pull("mnt/usb0");
    EXPECT_EQ(-281, poll(mm, &device));
    pull("mnt/usb1");
    EXPECT_EQ(-280, poll(mm, &device));
    EXPECT_EQ(path("mnt/usb1"), device) << "the second drive became the known one";
}

TEST_F(Drives, UnreadableMountTableCountsTheDriveAsGone) {
    insert("mnt/usb0");
    XR9ALMM mm;
    std::string device;
    ASSERT_EQ(0, poll(mm, &device));
    {
        // A tmpfs over /proc hides the mount table from this namespace.
        ScopedMount hidden = ScopedMount::tmpfs("/proc");
        ASSERT_TRUE(hidden.ok()) << hidden.error();
        EXPECT_EQ(-280, poll(mm, &device));
        EXPECT_EQ(path("mnt/usb0"), device);
        EXPECT_EQ(0, mm.checkMountedDevice());
    }
    EXPECT_EQ(0, poll(mm, &device)) << "the table is back, the drive is new again";
}

// ------------------------------------------------------------ ClosePort

// A "sync" of the test's own first on PATH: it records each run and exits
// with the chosen status.
class FakeSync {
public:
    FakeSync(const xr9test::TempDir& dir, int status) : record_(dir.file("sync.runs")) {
        std::remove(record_.c_str());
        const std::string bin = dir.file("bin");
        mkdir(bin.c_str(), 0755);
        const std::string script = bin + "/sync";
        xr9test::writeFile(script, "#!/bin/sh\necho \"sync $*\" >> '" + record_ + "'\nexit " +
                                       std::to_string(status) + "\n");
        chmod(script.c_str(), 0755);
        const char* old = std::getenv("PATH");
        savedPath_ = old ? old : "";
        setenv("PATH", (bin + ":" + savedPath_).c_str(), 1);
    }
    ~FakeSync() { setenv("PATH", savedPath_.c_str(), 1); }
    std::vector<std::string> runs() const { return xr9test::readLines(record_); }

private:
    std::string record_;
    std::string savedPath_;
};

TEST_F(Drives, ClosePortFlushesOnlyWithAKnownDriveAndReportsTheOutcome) {
    insert("mnt/usb0");
    const struct {
        bool driveKnown;
        int syncStatus;
        const char* printed;
    } cases[] = {{false, 0, ""}, {true, 0, "USB Memory Drive operation done.\n"}, {true, 1, "Unable to process sync.\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.printed);
        XR9ALMM mm;
        std::string device;
        if (c.driveKnown) {
            ASSERT_EQ(0, poll(mm, &device));
        }
        FakeSync sync(tmp_, c.syncStatus);
        {
            xr9test::CaptureStdout out;
            EXPECT_EQ(0, mm.ClosePort());
            EXPECT_EQ(c.printed, out.text());
        }
        EXPECT_EQ(c.driveKnown ? std::vector<std::string>{"sync "} : std::vector<std::string>{}, sync.runs())
            << "sync runs once, without arguments";
        EXPECT_EQ(c.driveKnown ? -281 : 0, poll(mm, &device)) << "ClosePort keeps the state";
    }
}

// The drive pulled between its detection and the flush: ClosePort still
// flushes (the state has not been polled since) and reports it, and the
// next poll tells the host which drive has gone.
TEST_F(Drives, DrivePulledBeforeTheFlushIsFlushedAndThenReportedGone) {
    insert("mnt/usb0");
    XR9ALMM mm;
    std::string device;
    ASSERT_EQ(0, poll(mm, &device));
    pull("mnt/usb0");
    FakeSync sync(tmp_, 0);
    {
        xr9test::CaptureStdout out;
        EXPECT_EQ(0, mm.ClosePort());
        EXPECT_EQ("USB Memory Drive operation done.\n", out.text());
    }
    EXPECT_EQ(1u, sync.runs().size());
    EXPECT_EQ(-280, poll(mm, &device));
    EXPECT_EQ(path("mnt/usb0"), device);
    {
        xr9test::CaptureStdout out;
        EXPECT_EQ(0, mm.ClosePort()) << "no drive known: nothing to flush";
        EXPECT_EQ("", out.text());
    }
}

// ------------------------------------------------------------- handle

TEST_F(Drives, HandleFromTheFactoryDetectsThroughTheInterface) {
    XR9AL* handle = Xr9AlGetHandle(IF_TYPE_MM);
    ASSERT_NE(nullptr, handle);
    ASSERT_EQ(handle, Xr9AlGetHandle(IF_TYPE_MM));
    EXPECT_EQ(handle, pUSBhandle);
    EXPECT_NE(nullptr, dynamic_cast<XR9ALMM*>(handle));
    std::string device;
    EXPECT_EQ(-280, poll(*handle, &device));
    insert("mnt/usb7");
    EXPECT_EQ(0, poll(*Xr9AlGetHandle(IF_TYPE_MM), &device));
    EXPECT_EQ(path("mnt/usb7"), device);
    EXPECT_EQ(-281, poll(*handle, &device)) << "every holder shares one transport";
    EXPECT_EQ(0, Xr9AlCloseHandle(handle));
    EXPECT_EQ(nullptr, pUSBhandle);
    XR9AL* fresh = Xr9AlGetHandle(IF_TYPE_MM);
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ(0, poll(*fresh, &device)) << "a new transport knows no drive yet";
    EXPECT_EQ(0, Xr9AlCloseHandle(fresh));
}

}  // namespace

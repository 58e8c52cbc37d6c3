// Drive detection against the kernel's real mount table: small tmpfs "drives"
// mounted under a temporary directory in the process's private mount namespace.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
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
    std::vector<std::string> found = xr9test::mountDirectories();
    found.erase(std::remove_if(found.begin(), found.end(), [](const std::string& d) { return !looksLikeDrive(d); }),
                found.end());
    return found;
}

// A private mount namespace holding exactly the drives a test mounts.
class Drives : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!xr9test::enterPrivateMountNamespace(&why)) GTEST_SKIP() << why;
        // Mounts of this machine that carry a marker are detached in this namespace.
        for (int round = 0; round < 8 && !driveLikeMounts().empty(); ++round) {
            for (const std::string& dir : driveLikeMounts()) umount2(dir.c_str(), MNT_DETACH);
        }
        const std::vector<std::string> left = driveLikeMounts();
        if (!left.empty()) GTEST_SKIP() << "a mount of this machine looks like a drive and stays: " << left.front();
    }

    // Mounts a tmpfs drive at root/relative.
    void insert(const std::string& relative, const std::string& source = "xr9test") {
        const std::string dir = tmp_.path() + "/" + relative;
        std::filesystem::create_directories(dir);
        auto mount = std::make_unique<ScopedMount>(ScopedMount::tmpfs(dir, source));
        EXPECT_TRUE(mount->ok()) << mount->error();
        mounts_[relative] = std::move(mount);
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

struct MarkerCase {
    const char* name;
    const char* relative;
    bool isDrive;
    const char* source = "xr9test";  // the device name the table shows
};

void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }

class DriveMarkers : public Drives, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(DriveMarkers, DirectoryDecidesWhetherAMountIsADrive) {
    insert(GetParam().relative, GetParam().source);
    XR9ALMM mm;
    std::string device;
    const bool drive = GetParam().isDrive;
    EXPECT_EQ(drive ? 0 : -280, poll(mm, &device));
    EXPECT_EQ(drive ? path(GetParam().relative) : std::string(kUntouched), device);
    EXPECT_EQ(drive ? 1 : 0, mm.checkMountedDevice());
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
                      MarkerCase{"MntUsbInsideAName", "xmnt/usb0", false},
                      MarkerCase{"MarkersInTheSourceOnly", "plain", false, "usbsd-/mnt/usb0-/media/disk"}),
    [](const ::testing::TestParamInfo<MarkerCase>& info) { return std::string(info.param.name); });

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
        Sequence{"InsertedDriveIsNewOnceThenTheSame",
                 {pollGives(-280), pollGives(-280), insertDrive("mnt/usb0"), pollGives(0, "mnt/usb0"),
                  pollGives(-281), pollGives(-281)}},
        Sequence{"DriveSwappedBetweenPollsCountsAsTheSameAndIsNewWhenInsertedAgain",
                 {insertDrive("mnt/usb0"), pollGives(0, "mnt/usb0"), pullDrive("mnt/usb0"),
                  insertDrive("media/disk2"), pollGives(-281), pullDrive("media/disk2"),
                  pollGives(-280, "media/disk2"), insertDrive("media/disk2"), pollGives(0, "media/disk2")}},
        Sequence{"ResetDriveStillMountedIsNewAgain",
                 {insertDrive("run/media/disk1"), pollGives(0, "run/media/disk1"), reset("run/media/disk1"),
                  pollGives(0, "run/media/disk1"), pollGives(-281)}},
        Sequence{"ResetDrivePulledIsNotNamed",
                 {insertDrive("usbsd"), pollGives(0, "usbsd"), reset("usbsd"), pullDrive("usbsd"), pollGives(-280)}},
        Sequence{"ResetForgetsOnlyAPolledDriveAndOnlyOnce",
                 {reset(), insertDrive("mnt/usb0"), reset(), pollGives(0, "mnt/usb0"), pollGives(-281),
                  reset("mnt/usb0"), reset()}},
        // A pulled drive is named once; reset then prints nothing, and the drive inserted again is new.
        Sequence{"ResetAfterTheDriveWentPrintsNothing",
                 {insertDrive("usbsd"), pollGives(0, "usbsd"), pullDrive("usbsd"), pollGives(-280, "usbsd"),
                  pollGives(-280), reset(), insertDrive("usbsd"), pollGives(0, "usbsd")}},
        // The first drive-like line of the mount table wins, whatever the marker.
        Sequence{"FirstInTableWinsOverMarkerOrder",
                 {insertDrive("mnt/usb1"), insertDrive("mnt/usb0"), insertDrive("usbsd"), pollGives(0, "mnt/usb1")}},
        Sequence{"NonDrivesBeforeAreSkipped",
                 {insertDrive("plain"), insertDrive("MNT/USB"), insertDrive("media/disk9"), insertDrive("usbsd"),
                  pollGives(0, "media/disk9")}},
        Sequence{"KnownDriveFollowsTheFirstMatchWhenItGoes",
                 {insertDrive("mnt/usb0"), insertDrive("mnt/usb1"), pollGives(0, "mnt/usb0"), pullDrive("mnt/usb0"),
                  pollGives(-281), pullDrive("mnt/usb1"), pollGives(-280, "mnt/usb1")}}),
    [](const ::testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

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

// ClosePort flushes when a drive is known, even one pulled since it was
// polled, and keeps the state: the next poll names a pulled drive.
TEST_F(Drives, ClosePortFlushesOnlyWithAKnownDriveAndReportsTheOutcome) {
    const char* const done = "USB Memory Drive operation done.\n";
    const struct {
        bool known, pulled;  // polled before the flush; pulled before the flush
        int syncStatus;
        const char* printed;
        KT::int32 nextPoll;
    } cases[] = {{false, false, 0, "", 0},
                 {true, false, 0, done, -281},
                 {true, false, 1, "Unable to process sync.\n", -281},
                 {true, true, 0, done, -280}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        insert("mnt/usb0");
        XR9ALMM mm;
        std::string device;
        if (c.known) {
            ASSERT_EQ(0, poll(mm, &device));
        }
        if (c.pulled) pull("mnt/usb0");
        FakeSync sync(tmp_, c.syncStatus);
        {
            xr9test::CaptureStdout out;
            EXPECT_EQ(0, mm.ClosePort());
            EXPECT_EQ(c.printed, out.text());
        }
        EXPECT_EQ(c.known ? std::vector<std::string>{"sync "} : std::vector<std::string>{}, sync.runs())
            << "sync runs once, without arguments";
        EXPECT_EQ(c.nextPoll, poll(mm, &device));
        EXPECT_EQ(c.nextPoll == -281 ? std::string(kUntouched) : path("mnt/usb0"), device);
        if (!c.pulled) pull("mnt/usb0");
    }
}

// One request to the QEMU monitor through the VM runner's relay; its answer line, or "" after 60 s.
std::string askMonitor(const std::string& json) {
    static int sequence = 0;
    const std::string base = std::string(std::getenv("XR9AL_VM_QMP")) + "/drive" + std::to_string(++sequence);
    xr9test::writeFile(base + ".tmp", json + "\n");
    std::rename((base + ".tmp").c_str(), (base + ".req").c_str());
    std::string answer;
    xr9test::waitFor([&] { return (answer = xr9test::readFile(base + ".resp")).find("\n") != std::string::npos; },
                     std::chrono::seconds(60));
    return answer;
}

// The block device of the USB drive the guest sees, "" when there is none.
std::string usbDisk() {
    for (const auto& entry : std::filesystem::directory_iterator("/sys/block")) {
        std::error_code error;
        const std::string target = std::filesystem::canonical(entry.path(), error).string();
        if (!error && target.find("/usb") != std::string::npos) return "/dev/" + entry.path().filename().string();
    }
    return "";
}

// A real USB drive hot-plugged into the VM (tools/vm/run.sh), mounted where an automounter would:
// reported once, then the same, then gone; a file written before ClosePort survives a pull
// without unmounting.
TEST_F(Drives, HotPluggedUsbDriveIsReportedAndHoldsAFileWrittenBeforeClosePortWhenPulled) {
    if (!std::getenv("XR9AL_VM_QMP")) GTEST_SKIP() << "needs a real USB drive: run under tools/vm/run.sh";
    // Beside the monitor's requests: QEMU opens it on the host, which does not see the guest's /tmp.
    const std::string image = std::string(std::getenv("XR9AL_VM_QMP")) + "/drive.img";
    ASSERT_EQ(0, std::system(("truncate -s 16M " + image + " && mkfs.vfat -n XR9DRIVE " + image + " >/dev/null").c_str()));
    const std::string added = askMonitor(
        R"({"execute": "blockdev-add", "arguments": {"driver": "raw", "node-name": "xr9drive", )"
        R"("file": {"driver": "file", "filename": ")" + image + R"("}}})");
    ASSERT_NE(std::string::npos, added.find("return")) << added;
    const std::string plugged = askMonitor(R"({"execute": "device_add", "arguments": {"driver": "usb-storage", )"
                                           R"("id": "xr9stick", "drive": "xr9drive", "bus": "xhci.0"}})");
    ASSERT_NE(std::string::npos, plugged.find("return")) << plugged;
    std::string disk;
    ASSERT_TRUE(xr9test::waitFor([&] { return !(disk = usbDisk()).empty() && access(disk.c_str(), R_OK) == 0; },
                                 std::chrono::seconds(60)));
    const std::string dir = tmp_.path() + "/media/disk1";
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(xr9test::waitFor([&] { return ::mount(disk.c_str(), dir.c_str(), "vfat", 0, nullptr) == 0; },
                                 std::chrono::seconds(30)))
        << disk;

    XR9ALMM mm;
    std::string device;
    EXPECT_EQ(0, poll(mm, &device));
    EXPECT_EQ(dir + "/", device);
    const std::string file = device + "update.bin";
    EXPECT_EQ(-281, poll(mm, &device));
    std::string content(1 << 20, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = char(i * 131 + (i >> 12));
    xr9test::writeFile(file, content);
    ASSERT_EQ(static_cast<long long>(content.size()), xr9test::fileSizeOf(file));
    {
        xr9test::CaptureStdout console;
        EXPECT_EQ(0, mm.ClosePort());
        EXPECT_EQ("USB Memory Drive operation done.\n", console.text());
    }

    // Pulled without unmounting; the automounter then lets go of the mount.
    const std::string pulled = askMonitor(R"({"execute": "device_del", "arguments": {"id": "xr9stick"}})");
    EXPECT_NE(std::string::npos, pulled.find("return")) << pulled;
    EXPECT_TRUE(xr9test::waitFor([] { return usbDisk().empty(); }, std::chrono::seconds(60)));
    umount2(dir.c_str(), MNT_DETACH);
    EXPECT_EQ(-280, poll(mm, &device));
    EXPECT_EQ(dir + "/", device);
    askMonitor(R"({"execute": "blockdev-del", "arguments": {"node-name": "xr9drive"}})");
    const std::string copy = tmp_.file("copy.bin");
    const std::string listing = tmp_.file("listing.txt");
    std::system(("MTOOLS_SKIP_CHECK=1 mdir -a -i " + image + " :: > " + listing + " 2>&1").c_str());
    ASSERT_EQ(0, std::system(("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + image + " ::update.bin " + copy).c_str()))
        << xr9test::readFile(listing);
    EXPECT_TRUE(xr9test::readFile(copy) == content) << "the file read back from the image is not whole: "
                                                    << xr9test::fileSizeOf(copy) << " bytes";
}

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

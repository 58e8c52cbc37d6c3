#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "common/TestSupport.h"
#include "support/GXSError.h"
#include "support/Utilities.h"
#include "support/Xr9Log.h"

namespace {

// Destinations start as an empty text with a guard pattern behind, so that a
// write past the result shows.
struct Destination {
    Destination() {
        std::memset(bytes, 0x5A, sizeof bytes);
        bytes[0] = '\0';
    }
    char bytes[512];
    std::string text() const { return std::string(bytes); }
    bool untouchedFrom(size_t offset) const {
        for (size_t i = offset; i < sizeof bytes; ++i)
            if (bytes[i] != 0x5A) return false;
        return true;
    }
};

struct NameCase {
    const char* name;
    const char* path;
    const char* fileName;  // GetFileName
    const char* xmlName;   // GetXmlFileName
    const char* directory; // GetFilePath; null: -1 and nothing written
};

const NameCase kNameCases[] = {
    {"PlainPath", "/data/pkg/update.xr9", "update.xr9", "update.xml", "/data/pkg"},
    {"TwoExtensions", "/data/pkg/name.tar.gz", "name.tar.gz", "name.xml", "/data/pkg"},
    {"LeadingDot", "/data/.hidden", ".hidden", ".xml", "/data"},
    {"NoDot", "/data/README", "README", "README.xml", "/data"},
    {"TrailingSlash", "/data/pkg/", "", ".xml", "/data/pkg"},
    {"DirectlyUnderRoot", "/file.bin", "file.bin", "file.xml", ""},
    {"NoSeparator", "file.bin", "file.bin", "file.xml", nullptr},
    {"Backslash", "C:\\pkg\\a.b", "a.b", "a.xml", "C:\\pkg"},
    {"MixedSeparatorsLastWins", "/a\\b/c\\d.e", "d.e", "d.xml", "/a\\b/c"},
    {"EmptyPath", "", "", ".xml", nullptr},
    {"OnlySlash", "/", "", ".xml", ""},
    {"DotInDirectoryOnly", "/dir.d/file", "file", "file.xml", "/dir.d"},
    {"DoubleSlash", "/a//b", "b", "b.xml", "/a/"},
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.name;
}

class PathParts : public ::testing::TestWithParam<NameCase> {
protected:
    void SetUp() override { Xr9Log::SetLogLevel(-1); }
    void TearDown() override { Xr9Log::SetLogLevel(6); }
};

// File name: everything after the last separator. Xml name: the file name up
// to its first dot, then ".xml". Directory: everything before the last separator.
TEST_P(PathParts, NameXmlNameAndDirectoryFollowTheLastSeparator) {
    Destination name, xml, directory;
    EXPECT_EQ(0, Utilities::GetFileName(name.bytes, GetParam().path));
    EXPECT_EQ(GetParam().fileName, name.text());
    EXPECT_EQ(0, Utilities::GetXmlFileName(xml.bytes, GetParam().path));
    EXPECT_EQ(GetParam().xmlName, xml.text());
    EXPECT_EQ(GetParam().directory ? 0 : -1, Utilities::GetFilePath(directory.bytes, GetParam().path));
    EXPECT_EQ(GetParam().directory ? GetParam().directory : "", directory.text());
    for (const Destination* d : {&name, &xml, &directory}) EXPECT_TRUE(d->untouchedFrom(d->text().size() + 1));

    // The destination may be the source buffer.
    const std::pair<KT::int32 (*)(char*, const char*), std::string> inPlace[] = {
        {Utilities::GetFileName, name.text()},
        {Utilities::GetXmlFileName, xml.text()},
        {Utilities::GetFilePath, GetParam().directory ? directory.text() : GetParam().path}};
    for (const auto& [operation, expected] : inPlace) {
        Destination d;
        std::strcpy(d.bytes, GetParam().path);
        operation(d.bytes, d.bytes);
        EXPECT_EQ(expected, d.text());
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, PathParts, ::testing::ValuesIn(kNameCases),
                         [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.name; });

TEST(PathPartsTest, NullPointersGiveMinusOneAndTheRootIsData) {
    Xr9Log::SetLogLevel(-1);
    Destination d;
    for (auto operation : {Utilities::GetFileName, Utilities::GetXmlFileName, Utilities::GetFilePath}) {
        EXPECT_EQ(-1, operation(d.bytes, nullptr));
        EXPECT_EQ(-1, operation(nullptr, "/a/b"));
    }
    EXPECT_TRUE(d.untouchedFrom(1));
    EXPECT_EQ(-1, Utilities::GetTerminalRootPath(nullptr));
    EXPECT_EQ(0, Utilities::GetFileSize(nullptr));
    EXPECT_EQ(0, Utilities::GetTerminalRootPath(d.bytes));
    EXPECT_EQ("/data", d.text());
    EXPECT_TRUE(d.untouchedFrom(6));
}

TEST(PathPartsTest, LongFileNamePartIsCutBeforeTheExtensionIsReplaced) {
    Xr9Log::SetLogLevel(-1);
    const struct {
        size_t nameLength;
        size_t dotAt;  // position of the first dot in the name, or npos
        std::string expectedStem;
    } cases[] = {
        {254, std::string::npos, std::string(254, 'n')},
        {255, std::string::npos, std::string(254, 'n')},
        {1000, 253, std::string(253, 'n')},
        {1000, 254, std::string(254, 'n')},  // the dot lies beyond the cut
        {300, 10, std::string(10, 'n')},
    };
    for (const auto& c : cases) {
        std::string name(c.nameLength, 'n');
        if (c.dotAt != std::string::npos) name[c.dotAt] = '.';
        const std::string path = "/data/" + name;
        std::vector<char> d(Utilities::kXmlFileNameSize + 16, 0x5A);
        d[0] = '\0';
        ASSERT_EQ(0, Utilities::GetXmlFileName(d.data(), path.c_str())) << c.nameLength;
        EXPECT_EQ(c.expectedStem + ".xml", std::string(d.data())) << c.nameLength << " " << c.dotAt;
        for (size_t i = Utilities::kXmlFileNameSize; i < d.size(); ++i) ASSERT_EQ(0x5A, d[i]) << i;
    }
}

// File checks with their traces and reports in the log file.
class UtilityTraces : public ::testing::Test {
protected:
    void SetUp() override {
        base = dir.file("trace");
        ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
        Xr9Log::SetLogLevel(6);
        GXSError::ERROR_STRING.clear();
        GXSError::WAS_READ = false;
    }
    void TearDown() override { Xr9Log::SetLogLevel(6); }
    std::vector<std::string> lines() { return xr9test::readLines(base + ".0"); }
    // The lines after their leading source line number, which only has to be
    // one: edits to the utilities' source leave these texts alone.
    std::vector<std::string> texts() {
        std::vector<std::string> out = lines();
        for (std::string& l : out) {
            const size_t digits = l.find_first_not_of("0123456789");
            EXPECT_TRUE(digits > 0 && digits != std::string::npos) << l;
            l.erase(0, digits);
        }
        return out;
    }
    // An existing file whose whole path is exactly length characters.
    std::string fileWithPathLength(size_t length) {
        const std::string prefix = dir.path() + "/";
        EXPECT_LT(prefix.size() + 1, length);
        const std::string path = prefix + std::string(length - prefix.size(), 'p');
        xr9test::writeFile(path, "x");
        return path;
    }
    xr9test::TempDir dir;
    std::string base;
};

TEST_F(UtilityTraces, FileSizeIsBytesOrZeroAndPathLengthIsCheckedBeforeExistence) {
    xr9test::writeFile(dir.file("big"), std::string(100000, 'b'));
    xr9test::writeFile(dir.file("empty"), "");
    EXPECT_EQ(100000, Utilities::GetFileSize(dir.file("big").c_str()));
    EXPECT_EQ(0, Utilities::GetFileSize(dir.file("empty").c_str()));
    EXPECT_EQ(0, Utilities::GetFileSize(dir.file("missing").c_str()));
    EXPECT_EQ(0, Utilities::GetFileSize(""));
    const std::string at253 = fileWithPathLength(253), at254 = fileWithPathLength(254), missing = dir.file("missing");
    ASSERT_EQ(253u, at253.size());
    ASSERT_EQ(254u, at254.size());
    const struct {
        std::string path;
        int result;
    } cases[] = {{at253, 0}, {dir.path(), 0}, {at254, -313}, {missing, -501}, {"", -501}};
    for (const auto& c : cases) {
        GXSError::WAS_READ = true;  // let each case record its own text
        EXPECT_EQ(c.result, Utilities::IsFilePathValid(c.path)) << c.path;
        if (c.result != 0) {
            EXPECT_EQ("Invalid FILE PATH: " + c.path, GXSError::getErrorString());
        }
    }
    GXSError::ERROR_STRING.clear();
    EXPECT_EQ(0, Utilities::IsFilePathValid(at253));
    EXPECT_EQ("", GXSError::getErrorString()) << "a valid path records nothing";
    const std::string report =
        "  static KT::int32 Utilities::IsFilePathValid(std::__cxx11::string)  File not valid: ";
    std::vector<std::string> reports;
    for (const std::string& l : texts()) {
        if (l.find("  File not valid: ") != std::string::npos) reports.push_back(l);
    }
    EXPECT_EQ((std::vector<std::string>{report + at254 + " ERROR: OS INVALID NAME SIZE",
                                        report + missing + " ERROR: NO SUCH FILE OR DIRECTORY",
                                        report + " ERROR: NO SUCH FILE OR DIRECTORY"}),
              reports);
}

TEST_F(UtilityTraces, EachOperationWritesItsEntryAndReturnLines) {
    Destination d;
    const std::string missing = dir.file("none.bin");
    Utilities::GetFileSize(missing.c_str());
    Utilities::GetXmlFileName(d.bytes, "/a/b.c");
    Utilities::GetFileName(d.bytes, "/a/b.c");
    Utilities::GetFilePath(d.bytes, "nosep");
    Utilities::GetFileSize(nullptr);
    const std::vector<std::string> expected = {
        "  static KT::int32 Utilities::GetFileSize(const char*)  Params pFileName = " + missing,
        "  static KT::int32 Utilities::GetFileSize(const char*)  function return value = 0",
        "  static KT::int32 Utilities::GetXmlFileName(char*, const char*)  Params pchFileName = ,pchFilePath = /a/b.c",
        "  static KT::int32 Utilities::GetXmlFileName(char*, const char*)  function return value = 0",
        "  static KT::int32 Utilities::GetFileName(char*, const char*)  Params pchFileName = b.xml,pchFilePath = /a/b.c",
        "  static KT::int32 Utilities::GetFileName(char*, const char*)  function return value = 0",
        "  static KT::int32 Utilities::GetFilePath(char*, const char*)  Params absFilePath = b.c,absFilename = nosep",
        "  static KT::int32 Utilities::GetFilePath(char*, const char*)  function return value = -1",
        "  static KT::int32 Utilities::GetFileSize(const char*)  Params pFileName = (null)",
        "  static KT::int32 Utilities::GetFileSize(const char*)  function return value = 0",
    };
    EXPECT_EQ(expected, texts());
}

// Per level: lines of GetFileSize (entry and return), then of IsFilePathValid of a missing file.
TEST_F(UtilityTraces, LevelDecidesWhichLinesAreWritten) {
    const std::string missing = dir.file("gone");
    size_t total = 0;
    for (const auto& [level, traceLines, invalidLines] : {std::tuple<int, size_t, size_t>{5, 2, 1}, {4, 0, 1},
                                                          {0, 0, 1}, {-1, 0, 0}}) {
        Xr9Log::SetLogLevel(level);
        Utilities::GetFileSize(missing.c_str());
        EXPECT_EQ(total += traceLines, lines().size()) << "level " << level;
        Utilities::IsFilePathValid(missing);
        EXPECT_EQ(total += invalidLines, lines().size()) << "level " << level;
    }
    // The error is still recorded when the log is silent.
    GXSError::WAS_READ = true;
    Xr9Log::SetLogLevel(-1);
    EXPECT_EQ(-501, Utilities::IsFilePathValid(missing + "2"));
    EXPECT_EQ("Invalid FILE PATH: " + missing + "2", GXSError::getErrorString());
}

}  // namespace

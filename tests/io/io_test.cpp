// SPDX-License-Identifier: Apache-2.0
// Output files that never cost the user the old file, input checks that never
// block on a FIFO or read a device without end, and device text made safe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "io/display_text.h"
#include "io/input_file.h"
#include "io/output_file.h"

namespace quorvel::io {
namespace {

namespace fs = std::filesystem;

// --- text from outside ---

struct TextCase {
  const char* name;
  std::string in;
  std::string printable;  // PrintableText(Utf8OrLatin1(in))
};

class DeviceText : public ::testing::TestWithParam<TextCase> {};

TEST_P(DeviceText, DecodesAndEscapes) {
  EXPECT_EQ(PrintableText(Utf8OrLatin1(GetParam().in)), GetParam().printable);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, DeviceText,
    ::testing::Values(
        TextCase{"Utf8Kept",
                 "Ger\xC3\xA4t \xC2\xB5"
                 "C",
                 "Ger\xC3\xA4t \xC2\xB5"
                 "C"},
        TextCase{"Latin1WhenNotUtf8",
                 "Ger\xE4t \xB5"
                 "C",
                 "Ger\xC3\xA4t \xC2\xB5"
                 "C"},
        TextCase{"TerminalControls", "D\x1B[31m\rFAKE\n\t\x7F", "D\\x1B[31m\\x0DFAKE\\x0A\\x09\\x7F"},
        TextCase{"C1ControlFromLatin1",
                 "a\x9B"
                 "2J",
                 "a\\u009B2J"},
        TextCase{"BidiOverrideAndLineSeparator", "x\xE2\x80\xAEy\xE2\x80\xA8z", "x\\u202Ey\\u2028z"},
        TextCase{"OrdinaryTextUntouched", "USB HID Bootloader (Serial=A1) \\ ok",
                 "USB HID Bootloader (Serial=A1) \\ ok"}),
    [](const ::testing::TestParamInfo<TextCase>& row) { return std::string(row.param.name); });

TEST(DisplayText, BytesThatAreNotUtf8AreEscapedOneByOne) {
  EXPECT_EQ(PrintableText("x\xE9.hex"), "x\\xE9.hex");
  EXPECT_EQ(PrintableText("\xC0\xAF"), "\\xC0\\xAF") << "overlong form";
}

// --- a file system seam that fails where told ---

class FailingSys : public FileSys {
 public:
  std::string failing;  // "open", "write", "write0", "fsync", "close", "rename"
  int err = EIO;
  std::string renameTarget;  // "rename": only renames onto a path ending in this
  bool shortWrites = false;  // at most 3 bytes per write
  // >= 0: reads give this many bytes in all, then the end; sizes read as 0, as /proc files report.
  long long giveBytes = -1;
  int takenNames = 0;  // the first N new files (O_EXCL) already exist

  int Open(const char* path, int flags, mode_t mode) override {
    if (failing == "open" && (flags & O_CREAT) != 0) return Fail();
    if ((flags & O_EXCL) != 0 && takenNames > 0) {
      --takenNames;
      errno = EEXIST;
      return -1;
    }
    if ((flags & O_ACCMODE) != O_WRONLY && Access(path, R_OK) != 0 && errno == EACCES) return -1;
    return FileSys::Open(path, flags, mode);
  }
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    if (failing == "write") return Fail();
    if (failing == "write0") return 0;
    return FileSys::Write(fd, data, shortWrites ? std::min<std::size_t>(size, 3) : size);
  }
  int Fsync(int fd) override { return failing == "fsync" ? Fail() : FileSys::Fsync(fd); }
  int Close(int fd) override {
    const int r = FileSys::Close(fd);
    return failing == "close" ? Fail() : r;
  }
  int Rename(const char* from, const char* to) override {
    if (failing == "rename" && std::string(to).ends_with(renameTarget)) return Fail();
    return FileSys::Rename(from, to);
  }
  ssize_t Read(int fd, void* buffer, std::size_t size) override {
    if (giveBytes < 0) return FileSys::Read(fd, buffer, size);
    const auto n = static_cast<std::size_t>(std::min<long long>(giveBytes, static_cast<long long>(size)));
    std::memset(buffer, 'x', n);
    giveBytes -= static_cast<long long>(n);
    return static_cast<ssize_t>(n);
  }
  int Fstat(int fd, struct stat* st) override {
    const int r = FileSys::Fstat(fd, st);
    if (giveBytes >= 0) st->st_size = 0;
    return r;
  }
  // Answers as for the file's owner without root's bypass, so a test run as
  // root still sees a read-only file refused.
  int Access(const char* path, int mode) override {
    struct stat st {};
    if (::stat(path, &st) != 0) return -1;
    const bool refused = ((mode & W_OK) != 0 && (st.st_mode & S_IWUSR) == 0) ||
                         ((mode & R_OK) != 0 && (st.st_mode & S_IRUSR) == 0);
    if (!refused) return 0;
    errno = EACCES;
    return -1;
  }

 private:
  int Fail() {
    errno = err;
    return -1;
  }
};

class IoFiles : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  std::string Path(const std::string& name) const {
    return dir.filePath(QString::fromStdString(name)).toStdString();
  }
  std::string Put(const std::string& name, const std::string& content) {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }
  static std::string Get(const std::string& path) {
    // Not through istreambuf_iterator: GCC 12 -O3 warns of a null dereference in it.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  std::size_t Entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path().toStdString()), {}));
  }
};

// --- writing ---

struct WriteFault {
  const char* name;
  const char* call;
  int err;
};

class OutputFileFault : public IoFiles, public ::testing::WithParamInterface<WriteFault> {};

TEST_P(OutputFileFault, LeavesTheOldFileAndNoTemporaryFile) {
  const std::string target = Put("flash.bin", "old contents");
  FailingSys sys;
  sys.failing = GetParam().call;
  sys.err = GetParam().err;
  OutputFile file(target, sys);
  const bool committed = file.Open() && file.Write("new contents") && file.Commit();
  EXPECT_FALSE(committed);
  EXPECT_TRUE(file.Failed());
  EXPECT_EQ(file.Error().reason, std::strerror(GetParam().err == 0 ? ENOSPC : GetParam().err));
  EXPECT_EQ(Get(target), "old contents");
  EXPECT_EQ(Entries(), 1u) << "the temporary file is gone";
}

INSTANTIATE_TEST_SUITE_P(
    Calls, OutputFileFault,
    ::testing::Values(WriteFault{"CreateRefused", "open", EACCES}, WriteFault{"DiskFull", "write", ENOSPC},
                      WriteFault{"FileSizeLimit", "write", EFBIG}, WriteFault{"NoProgress", "write0", 0},
                      WriteFault{"FlushFails", "fsync", EIO},
                      WriteFault{"CloseReportsALostWrite", "close", EIO},
                      WriteFault{"RenameFails", "rename", EBUSY}),
    [](const ::testing::TestParamInfo<WriteFault>& row) { return std::string(row.param.name); });

TEST_F(IoFiles, ShortWritesAreContinuedAndAReplacedFileKeepsItsModeAndSymbolicLink) {
  const std::string real = Put("real.bin", "old");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  fs::create_symlink(real, Path("link.bin"));
  FailingSys sys;
  sys.shortWrites = true;
  OutputFile file(Path("link.bin"), sys);
  ASSERT_TRUE(file.Open() && file.Write("0123456789abcdef") && file.Commit()) << file.Error().reason;
  EXPECT_TRUE(fs::is_symlink(Path("link.bin")));
  EXPECT_EQ(Get(real), "0123456789abcdef");
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const mode_t old = ::umask(022);
  OutputFile fresh(Path("new.bin"));
  const bool ok = fresh.Open() && fresh.Commit();
  ::umask(old);
  ASSERT_TRUE(ok);
  ASSERT_EQ(::stat(Path("new.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "a new file gets the usual permissions, not a temporary file's";
}

TEST_F(IoFiles, NamesThatAreNoRegularFileAreRefusedUntouched) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  fs::create_directory(Path("folder"));
  fs::create_symlink(Path("missing"), Path("dangling"));
  for (const std::string& name : {Path("fifo"), Path("folder"), Path("dangling"), std::string("/dev/null")}) {
    OutputError error;
    EXPECT_FALSE(ResolveOutput(name, error)) << name;
    EXPECT_EQ(error.err, 0) << name << ": refused for what it is, not by a failed call";
    OutputFile file(name);
    EXPECT_FALSE(file.Open()) << name;
  }
  EXPECT_TRUE(fs::is_fifo(Path("fifo")));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));

  OutputError error;
  EXPECT_FALSE(ResolveOutput(Path("no-folder/x.bin"), error));
  EXPECT_EQ(error.err, ENOENT);
}

// Permissions, once through the seam, answering as for the file's owner, and
// once for real, only as a normal user: root may read and write anything
// (tests/scripts/as_nobody.sh runs these as nobody).
class Permission : public IoFiles, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && ::geteuid() == 0) GTEST_SKIP() << "root passes every permission check";
  }
  FileSys& Sys() { return GetParam() ? DefaultFileSys() : seam_; }

 private:
  FailingSys seam_;
};

// Replacing a file goes by rename, which asks only the folder: the file's own
// write permission has to be asked for.
TEST_P(Permission, AnOutputTheUserMayNotWriteIsRefusedUntouched) {
  const std::string target = Put("flash.bin", "old contents");
  ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
  OutputFile file(target, Sys());
  EXPECT_FALSE(file.Open() && file.Write("new contents") && file.Commit());
  EXPECT_EQ(file.Error().err, EACCES);
  EXPECT_EQ(Get(target), "old contents");
  EXPECT_EQ(Entries(), 1u) << "no temporary file left";
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
}

// The input check opens the file, so an unreadable one is reported before any work starts.
TEST_P(Permission, AnInputTheUserMayNotReadIsReportedAsSuch) {
  const std::string path = Put("app.hex", ":00000001FF\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
  const InputCheck check = CheckInputFile(path, Sys());
  EXPECT_EQ(check.status, InputStatus::Failed);
  EXPECT_EQ(InputProblemText(check), std::strerror(EACCES));
  const FileContents read = ReadSmallFile(path, 100, Sys());
  EXPECT_EQ(read.check.status, InputStatus::Failed);
  EXPECT_EQ(read.check.err, EACCES);
  EXPECT_TRUE(read.data.empty());
}

INSTANTIATE_TEST_SUITE_P(Checks, Permission, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return std::string(row.param ? "AsThisUser" : "ThroughTheSeam");
                         });

class CommitTogetherTest : public IoFiles, public ::testing::WithParamInterface<bool> {};

// The second rename fails: the first file gets its old contents back (or goes
// away again when it was new).
TEST_P(CommitTogetherTest, AllOrNone) {
  const bool firstExisted = GetParam();
  if (firstExisted) Put("a.bin", "old a");
  Put("b.bin", "old b");
  FailingSys sys;
  sys.failing = "rename";
  sys.renameTarget = "/b.bin";
  sys.err = EBUSY;
  OutputFile a(Path("a.bin"), sys);
  OutputFile b(Path("b.bin"), sys);
  ASSERT_TRUE(a.Open() && a.Write("new a") && b.Open() && b.Write("new b"));
  EXPECT_FALSE(CommitTogether({&a, &b}));
  EXPECT_TRUE(b.Failed());
  EXPECT_EQ(Get(Path("b.bin")), "old b");
  if (firstExisted) {
    EXPECT_EQ(Get(Path("a.bin")), "old a");
  } else {
    EXPECT_FALSE(fs::exists(Path("a.bin")));
  }
  EXPECT_EQ(Entries(), firstExisted ? 2u : 1u) << "no temporary file left";

  OutputFile a2(Path("a.bin"));
  OutputFile b2(Path("b.bin"));
  ASSERT_TRUE(a2.Open() && a2.Write("new a") && b2.Open() && b2.Write("new b"));
  EXPECT_TRUE(CommitTogether({&a2, &b2}));
  EXPECT_EQ(Get(Path("a.bin")) + Get(Path("b.bin")), "new anew b");
  EXPECT_EQ(Entries(), 2u);
}

INSTANTIATE_TEST_SUITE_P(FirstFile, CommitTogetherTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return std::string(row.param ? "Existed" : "WasNew");
                         });

// --- reading ---

TEST_F(IoFiles, ReadingChecksTheTypeBeforeOpening) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadSmallFile(Path("fifo"), 100).check.status, InputStatus::NotRegular) << "no writer, no hang";
  EXPECT_EQ(ReadSmallFile("/dev/zero", 100).check.status, InputStatus::NotRegular);
  EXPECT_EQ(ReadSmallFile(Path("none"), 100).check.status, InputStatus::Missing);
  EXPECT_EQ(CheckInputFile(Path("fifo")).status, InputStatus::NotRegular);
}

// The limit holds for the size a file claims and, for one that claims none or grows meanwhile,
// for what is read.
struct ReadLimitRow {
  const char* name;
  std::size_t maxBytes;
  long long giveBytes;  // -1: the real ten-byte file; else through the seam, claiming no size
  bool read;
};
void PrintTo(const ReadLimitRow& row, std::ostream* os) { *os << row.name; }

class ReadLimit : public IoFiles, public ::testing::WithParamInterface<ReadLimitRow> {};

TEST_P(ReadLimit, NeverReadsMoreThanTheLimit) {
  const ReadLimitRow& row = GetParam();
  FailingSys sys;
  sys.giveBytes = row.giveBytes;
  const FileContents read = ReadSmallFile(Put("ten", "0123456789"), row.maxBytes, sys);
  if (!row.read) {
    EXPECT_EQ(read.check.status, InputStatus::TooLarge);
    EXPECT_EQ(read.data, "");
    return;
  }
  EXPECT_EQ(read.check.status, InputStatus::Ok);
  EXPECT_EQ(read.data,
            row.giveBytes < 0 ? "0123456789" : std::string(static_cast<std::size_t>(row.giveBytes), 'x'));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadLimit,
                         ::testing::Values(ReadLimitRow{"ClaimsOneByteMore", 9, -1, false},
                                           ReadLimitRow{"ClaimsTheLimit", 10, -1, true},
                                           ReadLimitRow{"ClaimsOneByteLess", 11, -1, true},
                                           ReadLimitRow{"GivesOneByteMore", 10, 11, false},
                                           ReadLimitRow{"GivesTheLimit", 10, 10, true},
                                           ReadLimitRow{"GivesOneByteLess", 10, 9, true},
                                           ReadLimitRow{"NeverEnds", 1 << 20, 1LL << 40, false}),
                         [](const ::testing::TestParamInfo<ReadLimitRow>& row) {
                           return std::string(row.param.name);
                         });

// The temporary name keeps as much of the target's name as leaves room for its suffix, so the
// longest name a folder allows can still be written.
TEST_F(IoFiles, TheLongestNameAFolderAllowsIsWritten) {
  const std::string name(NAME_MAX, 'n');
  OutputFile file(Path(name));
  ASSERT_TRUE(file.Open() && file.Write("x") && file.Commit()) << file.Error().reason;
  EXPECT_EQ(Get(Path(name)), "x");
}

// A temporary name that exists is never taken over; after 64 taken names the output is refused.
TEST_F(IoFiles, TemporaryNamesAreTriedSixtyFourTimes) {
  for (const auto& [taken, written] : {std::pair{63, true}, {64, false}}) {
    FailingSys sys;
    sys.takenNames = taken;
    OutputFile file(Path("out.bin"), sys);
    EXPECT_EQ(file.Open() && file.Commit(), written) << taken;
    EXPECT_EQ(file.Error().err, written ? 0 : EEXIST) << taken;
  }
}

}  // namespace
}  // namespace quorvel::io

// Safe replacement of output files: a failed write keeps the previous file and leaves no temporary.
#include "io/file_writer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "core/run_context.hpp"
#include "io/io_error.hpp"
#include "io/mesh_io.hpp"
#include "temp_dir.hpp"

namespace morvane::io {
namespace {

using test::read_text;
using test::TempDir;
using test::write_text;

std::string write_error(const std::string& path, const std::string& text) {
  try {
    FileWriter out(path);
    out.write(text);
    out.commit();
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::Io);
    return e.what();
  }
  return "no error";
}

mode_t mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

TEST(FileWriterReplace, CommitPublishesTheWholeFile) {
  TempDir dir;
  write_text(dir.file("out.txt"), "previous");
  std::string expected;
  {
    FileWriter out(dir.file("out.txt"));
    // Small pieces, a piece that straddles the buffer and one larger than the buffer.
    for (int i = 0; i < 3000; ++i) {
      const std::string piece = std::to_string(i) + ",";
      out.write(piece);
      expected += piece;
    }
    const std::string big(3 * FileWriter::kBufferSize + 17, 'x');
    out.write(big.data(), big.size());
    expected += big;
    EXPECT_EQ(read_text(dir.file("out.txt")), "previous");  // untouched until commit
    out.commit();
  }
  EXPECT_EQ(read_text(dir.file("out.txt")), expected);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.txt"});
}

TEST(FileWriterReplace, UncommittedWriterLeavesPreviousFileAndNoTemporary) {
  TempDir dir;
  write_text(dir.file("out.txt"), "previous");
  {
    FileWriter out(dir.file("out.txt"));
    out.write(std::string(20000, 'y'));
  }
  EXPECT_EQ(read_text(dir.file("out.txt")), "previous");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.txt"});
}

// The child process writes under a file size limit, so the write fails part way (EFBIG).
TEST(FileWriterReplace, FailedSaveKeepsPreviousFileAndNoTemporary) {
  TempDir dir;
  const std::string target = dir.file("mesh.obj");
  write_text(target, "previous mesh\n");
  std::vector<Vec3> positions(5000, Vec3{1.5, -2.25, 3.0});
  std::vector<Tri> triangles(5000, Tri{0, 1, 2});

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{20000, 20000};
    setrlimit(RLIMIT_FSIZE, &limit);
    int code = 1;
    try {
      save_mesh(positions, triangles, target);
    } catch (const IoError& e) {
      code = std::string(e.what()) == "I/O error: File too large (os error 27)" ? 0 : 2;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the save succeeded, 2: another error";
  EXPECT_EQ(read_text(target), "previous mesh\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"mesh.obj"});
}

TEST(FileWriterReplace, NewFileGetsMode666LessUmask) {
  TempDir dir;
  const mode_t previous = umask(027);
  EXPECT_EQ(write_error(dir.file("new.txt"), "x"), "no error");
  umask(previous);
  EXPECT_EQ(mode_of(dir.file("new.txt")), 0640u);
}

TEST(FileWriterReplace, ReplacedFileKeepsItsMode) {
  TempDir dir;
  write_text(dir.file("old.txt"), "old");
  ASSERT_EQ(chmod(dir.file("old.txt").c_str(), 0600), 0);
  EXPECT_EQ(write_error(dir.file("old.txt"), "new"), "no error");
  EXPECT_EQ(mode_of(dir.file("old.txt")), 0600u);
  EXPECT_EQ(read_text(dir.file("old.txt")), "new");
}

// Root may write any file, so the child drops to an unprivileged user first.
TEST(FileWriterReplace, WriteProtectedTargetIsRefusedUntouched) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  const std::string target = dir.file("locked.obj");
  write_text(target, "previous mesh\n");
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  ASSERT_EQ(symlink("locked.obj", dir.file("link.obj").c_str()), 0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
    int code = 0;
    for (const std::string& path : {target, dir.file("link.obj")}) {
      try {
        save_mesh(std::vector<Vec3>{{0, 0, 0}}, {}, path);
        code = 1;
      } catch (const IoError& e) {
        if (std::string(e.what()) != "I/O error: Permission denied (os error 13)") code = 2;
      }
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the file was replaced, 2: another error, 3: no user to drop to";
  EXPECT_EQ(read_text(target), "previous mesh\n");
  EXPECT_EQ(mode_of(target), 0444u);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link.obj", "locked.obj"}));
}

TEST(FileWriterTargets, SymbolicLinkIsFollowedAndKept) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("real").c_str(), 0777), 0);
  write_text(dir.file("real/target.txt"), "old");
  ASSERT_EQ(symlink("real/target.txt", dir.file("link.txt").c_str()), 0);
  EXPECT_EQ(write_error(dir.file("link.txt"), "new"), "no error");
  struct stat info {};
  ASSERT_EQ(lstat(dir.file("link.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(read_text(dir.file("real/target.txt")), "new");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link.txt", "real"}));
}

TEST(FileWriterTargets, DanglingLinkCreatesItsTarget) {
  TempDir dir;
  ASSERT_EQ(symlink(dir.file("made.txt").c_str(), dir.file("link.txt").c_str()), 0);
  EXPECT_EQ(write_error(dir.file("link.txt"), "made"), "no error");
  EXPECT_EQ(read_text(dir.file("made.txt")), "made");
}

// A device is written in place; the failure of the final flush is reported.
TEST(FileWriterTargets, SaveThroughLinkToDeviceReportsTheDeviceError) {
  TempDir dir;
  ASSERT_EQ(symlink("/dev/full", dir.file("full.obj").c_str()), 0);
  try {
    save_mesh(std::vector<Vec3>{{0, 0, 0}}, {}, dir.file("full.obj"));
    FAIL();
  } catch (const IoError& e) {
    EXPECT_STREQ(e.what(), "I/O error: No space left on device (os error 28)");
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"full.obj"});
}

// A FIFO is written once a reader opens it; until then a stop request ends the wait.
TEST(FileWriterTargets, FifoWaitsForItsReaderAndCanBeStopped) {
  TempDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  std::string received;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    received = read_text(fifo);
  });
  EXPECT_EQ(write_error(fifo, "through the pipe"), "no error");
  reader.join();
  EXPECT_EQ(received, "through the pipe");

  RunContext context;
  RunScope scope(&context);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    context.request_stop();
  });
  EXPECT_THROW(FileWriter{fifo}, Interrupted);
  stopper.join();
}

// A file in a folder that refuses new files is written in place, yet only at commit: a writer
// stopped before it leaves the file as it was. Root may create files anywhere, so the child drops
// to an unprivileged user, for whom root's folder refuses them.
TEST(FileWriterTargets, InPlaceTargetIsUntouchedUntilCommit) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string target = dir.file("mesh.obj");
  write_text(target, "previous mesh\n");
  ASSERT_EQ(chmod(target.c_str(), 0666), 0);
  const std::string text(5 * FileWriter::kBufferSize + 3, 'x');

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(9);
    int code = 0;
    try {
      RunContext context;
      RunScope scope(&context);
      FileWriter out(target);
      out.write(text);
      context.request_stop();
      out.commit();
      code = 1;
    } catch (const Interrupted&) {
    }
    if (read_text(target) != "previous mesh\n") code = 2;
    {
      FileWriter out(target);
      out.write(text);
      if (read_text(target) != "previous mesh\n") code = 3;
      out.commit();
    }
    if (read_text(target) != text) code = 4;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not stopped, 2: changed by the stopped writer, 3: changed before commit, "
                                       "4: not written whole, 9: no user to drop to";
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"mesh.obj"});
}

TEST(FileWriterTargets, DirectoryOrMissingParentFails) {
  TempDir dir;
  EXPECT_EQ(write_error(dir.path(), "x"), "I/O error: Is a directory (os error 21)");
  EXPECT_EQ(write_error(dir.file("missing/out.txt"), "x"), "I/O error: No such file or directory (os error 2)");
  EXPECT_TRUE(dir.entries().empty());
}

TEST(FileWriterTargets, NulInPathIsRefusedBeforeAnySystemCall) {
  TempDir dir;
  const std::string path = dir.file("sub") + std::string(1, '\0') + "/out.obj";
  EXPECT_EQ(write_error(path, "x"), "I/O error: file name contained an unexpected NUL byte");
  try {
    save_mesh({}, {}, path);
    FAIL();
  } catch (const IoError& e) {
    EXPECT_STREQ(e.what(), "I/O error: file name contained an unexpected NUL byte");
  }
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
}  // namespace morvane::io

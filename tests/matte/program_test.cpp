// Whole-program tests: the built TrelvoPersonMatte on real video files in real directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "common/temp_dir.h"
#include "png_file.h"
#include "scenes.h"

extern char** environ;

namespace trelvo::matte {
namespace {

using test_common::TempDir;
using testing::readPng;
namespace fs = std::filesystem;

const std::string kProgram = MATTE_PROGRAM;
const std::string kVideos = MATTE_TEST_VIDEOS;

std::string video(const std::string& name) { return kVideos + "/" + name; }

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Where a started program's standard output goes.
enum class Output {
  kFile,        // a file in the streams folder
  kFull,        // /dev/full: every write fails with "no space left"
  kClosed,      // nowhere: the descriptor is closed
  kBrokenPipe,  // a pipe whose reader is gone: a write raises SIGPIPE and fails with EPIPE
};

// A started program whose standard output and error go to files.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& streams,
        Output output = Output::kFile)
      : out_(streams + "/stdout"), err_(streams + "/stderr") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int pipe[2] = {-1, -1};
    switch (output) {
      case Output::kFile:
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        break;
      case Output::kFull:
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
        break;
      case Output::kClosed:
        posix_spawn_file_actions_addclose(&actions, 1);
        break;
      case Output::kBrokenPipe:
        if (::pipe2(pipe, O_CLOEXEC) == 0) {
          ::close(pipe[0]);
          posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
        }
        break;
    }
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The child gets SIGPIPE at its default, whatever this process does with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (pipe[1] >= 0) ::close(pipe[1]);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { (void)wait(); }

  // The exit status, or -1 when the program did not start or did not exit normally.
  int wait() {
    if (pid_ <= 0) return status_;
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return status_;
  }
  std::string out() const { return readFile(out_); }
  std::string err() const { return readFile(err_); }

 private:
  std::string out_;
  std::string err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

struct Result {
  int status;
  std::string out;
  std::string err;
};

class Program : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::mkdir(streams().c_str(), 0755), 0); }
  std::string streams() const { return dir / "streams"; }

  Result run(const std::vector<std::string>& operands) {
    std::vector<std::string> argv{kProgram};
    argv.insert(argv.end(), operands.begin(), operands.end());
    Child child(argv, streams());
    const int status = child.wait();
    return {status, child.out(), child.err()};
  }

  // The matte files in `out`, sorted.
  static std::vector<std::string> mattes(const std::string& out) {
    std::vector<std::string> names;
    if (!fs::is_directory(out)) return names;
    for (const auto& entry : fs::directory_iterator(out)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::vector<std::string> numbered(std::size_t count) {
    std::vector<std::string> names;
    char name[32];
    for (std::size_t i = 0; i < count; ++i) {
      std::snprintf(name, sizeof name, "%06zu.png", i);
      names.emplace_back(name);
    }
    return names;
  }

  static void expectGrayMattes(const std::string& out, std::size_t count, std::uint32_t width,
                               std::uint32_t height) {
    for (const std::string& name : numbered(count)) {
      SCOPED_TRACE(name);
      const auto png = readPng(out + "/" + name);
      ASSERT_TRUE(png.has_value());
      EXPECT_EQ(png->width, width);
      EXPECT_EQ(png->height, height);
      EXPECT_EQ(png->bitDepth, 8);
      EXPECT_EQ(png->colorType, SPNG_COLOR_TYPE_GRAYSCALE);
    }
  }

  TempDir dir;
};

TEST_F(Program, NotExactlyTwoOperandsIsAUsageError) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {video("clip12.mp4")}, {"--help"}, {video("clip12.mp4"), dir / "out", dir / "third"}};
  for (const auto& operands : cases) {
    SCOPED_TRACE(operands.size());
    const Result r = run(operands);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "usage: TrelvoPersonMatte VIDEO OUT_DIR\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists(dir / "third"));
  }
}

TEST_F(Program, CleanFramesGiveOneGrayMatteEachAndTheFrameCount) {
  const std::string out = dir / "out";
  const Result r = run({video("clip12.mp4"), out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"frames\": 12}\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(mattes(out), numbered(12));
  expectGrayMattes(out, 12, 160, 120);
}

TEST_F(Program, MattesTakeEachVideosDecodedFrameSize) {
  struct Case {
    const char* file;
    std::size_t frames;
    std::uint32_t width, height;
  };
  const Case cases[] = {
      {"size_1x1.mkv", 3, 1, 1},
      {"size_3x2.mkv", 3, 3, 2},
      {"size_4096x2160.mp4", 2, 4096, 2160},
      {"rotated.mp4", 4, 64, 48},     // rotation metadata is not applied
      {"two_tracks.mkv", 5, 80, 60},  // only the first video track
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string out = dir / c.file;
    const Result r = run({video(c.file), out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"frames\": " + std::to_string(c.frames) + "}\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(mattes(out), numbered(c.frames));
    expectGrayMattes(out, c.frames, c.width, c.height);
  }
}

TEST_F(Program, AFrameCountThatCannotBeWrittenIsAFailure) {
  const std::pair<const char*, Output> cases[] = {
      {"full", Output::kFull}, {"closed", Output::kClosed}, {"reader gone", Output::kBrokenPipe}};
  for (const auto& [name, output] : cases) {
    SCOPED_TRACE(name);
    const std::string out = dir / name;
    Child child({kProgram, video("size_3x2.mkv"), out}, streams(), output);
    EXPECT_EQ(child.wait(), 1);
    EXPECT_EQ(child.err(), "");
    // The mattes were written before the count.
    EXPECT_EQ(mattes(out), numbered(3));
  }
}

TEST_F(Program, OutputDirectoryIsMadeWithItsParentsAndOldFilesAreKeptOrWrittenOver) {
  const std::string out = dir / "a/b/c/out";
  ASSERT_EQ(run({video("size_3x2.mkv"), out}).status, 0);
  EXPECT_EQ(mattes(out), numbered(3));

  // A second run into the same directory: a foreign file stays, an old matte is written over.
  std::ofstream(out + "/notes.txt") << "keep me";
  std::ofstream(out + "/000001.png") << "not a png";
  std::ofstream(out + "/000007.png") << "left from another run";
  const Result r = run({video("size_1x1.mkv"), out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(readFile(out + "/notes.txt"), "keep me");
  EXPECT_EQ(readFile(out + "/000007.png"), "left from another run");
  expectGrayMattes(out, 3, 1, 1);
}

// A link planted at a matte's name is replaced by the matte, never followed: the file it points
// to, outside OUT_DIR, stays as it was.
TEST_F(Program, ALinkAtAMattesNameIsReplacedNotFollowed) {
  const std::string out = dir / "out";
  const std::string victim = dir / "victim";
  ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
  std::ofstream(victim) << "not yours";
  ASSERT_EQ(::symlink(victim.c_str(), (out + "/000001.png").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/dir/x", (out + "/000002.png").c_str()), 0);
  const Result r = run({video("size_3x2.mkv"), out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(readFile(victim), "not yours");
  for (const std::string& name : numbered(3)) {
    struct stat status {};
    ASSERT_EQ(::lstat((out + "/" + name).c_str(), &status), 0) << name;
    EXPECT_TRUE(S_ISREG(status.st_mode)) << name;
  }
  expectGrayMattes(out, 3, 3, 2);
  EXPECT_EQ(mattes(out), numbered(3));  // no temporary file left behind
}

// A disk that fills during the run: status 5, every matte written before is whole, and no name
// holds a part of one, nor is a temporary file left.
TEST_F(Program, AFullDiskLeavesOnlyWholeMattes) {
  if (::geteuid() != 0) {
    if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
      FAIL() << "needs root to mount a small file system, and CI runs as root";
    }
    GTEST_SKIP() << "needs root to mount a small file system";
  }
  const std::string small = dir / "small";
  ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
  ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k"), 0)
      << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { (void)::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  // Every matte takes a page of the 64: the run ends well before the clip's 1500 frames.
  const Result r = run({video("long.mp4"), small});
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  const std::vector<std::string> written = mattes(small);
  ASSERT_GT(written.size(), 10u);
  ASSERT_LT(written.size(), 100u);
  EXPECT_EQ(written, numbered(written.size()));
  expectGrayMattes(small, written.size(), 32, 32);
}

TEST_F(Program, OutputDirectoryThatIsAFileFailsSilently) {
  const std::string file = dir / "file";
  std::ofstream(file) << "x";
  for (const std::string& out : {file, file + "/below"}) {
    SCOPED_TRACE(out);
    const Result r = run({video("clip12.mp4"), out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(readFile(file), "x");
}

TEST_F(Program, NoVideoTrackLeavesTheCreatedDirectoryEmpty) {
  const std::string cases[] = {dir / "missing.mp4", video("not_media.txt"), video("audio.wav"),
                               video("cover.mp3")};
  int i = 0;
  for (const std::string& input : cases) {
    SCOPED_TRACE(input);
    const std::string out = dir / ("out" + std::to_string(i++) + "/sub");
    const Result r = run({input, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "no video track\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_TRUE(mattes(out).empty());
  }
}

TEST_F(Program, StreamsThatDoNotEndCleanlyReportTheFramesDone) {
  struct Case {
    const char* file;
    std::size_t frames;
    const char* message;
    std::uint32_t width = 16, height = 16;
  };
  const Case cases[] = {
      {"empty.y4m", 0, "video decode did not complete (frames=0): no frames\n"},
      {"broken_after_3.y4m", 3,
       "video decode did not complete (frames=3): Invalid data found when processing input\n"},
      {"too_wide.y4m", 0, "video decode did not complete (frames=0): frame too large (20000x2)\n"},
      {"too_large.y4m", 0,
       "video decode did not complete (frames=0): frame too large (16000x4000)\n"},
      // Cut in half: the demuxer ends it like a whole file and only reports the damage.
      {"two_tracks_cut.mkv", 2,
       "video decode did not complete (frames=2): File ended prematurely\n", 80, 60},
      // Overwritten bytes in the seventh packet: the decoder patches the picture up and goes on,
      // but the damage it reported fails the track.
      {"clip12_damaged.mp4", 12,
       "video decode did not complete (frames=12): error while decoding MB 8 5, bytestream -47\n",
       160, 120},
      // Damaged in both layers: the demuxer's report is the one given.
      {"mpeg4_damaged.nut", 4,
       "video decode did not complete (frames=4): frame size > 2max_distance and no checksum\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string out = dir / c.file;
    const Result r = run({video(c.file), out});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(mattes(out), numbered(c.frames));
    expectGrayMattes(out, c.frames, c.width, c.height);
  }
}

TEST_F(Program, AMatteThatCannotBeCreatedEndsTheRunSilently) {
  const std::string out = dir / "out";
  ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((out + "/000003.png").c_str(), 0755), 0);
  const Result r = run({video("clip12.mp4"), out});
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  expectGrayMattes(out, 3, 160, 120);
  EXPECT_FALSE(fs::exists(out + "/000004.png"));
}

// Waits until `path` exists; false after a generous limit.
bool waitFor(const std::string& path) {
  for (int i = 0; i < 60000; ++i) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST_F(Program, OutputDirectoryRemovedDuringTheRunGivesStatus5) {
  const std::string out = dir / "out";
  Child child({kProgram, video("long.mp4"), out}, streams());
  ASSERT_TRUE(waitFor(out + "/000001.png"));
  fs::remove_all(out);
  EXPECT_EQ(child.wait(), 5);
  EXPECT_EQ(child.err(), "");
  EXPECT_EQ(child.out(), "");
}

TEST_F(Program, OutputDirectoryMadeUnwritableDuringTheRunGivesStatus5) {
  // Permission bits do not stop root: run the program as nobody.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to change user";
  const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups", kProgram};
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(streams().c_str(), 0777), 0);
  {
    Child probe(asNobody, streams());
    if (probe.wait() != 2) GTEST_SKIP() << "nobody cannot run the program from this build folder";
  }
  const std::string out = dir / "out";
  ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
  ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
  std::vector<std::string> argv = asNobody;
  argv.push_back(video("long.mp4"));
  argv.push_back(out);
  Child child(argv, streams());
  ASSERT_TRUE(waitFor(out + "/000001.png"));
  ASSERT_EQ(::chmod(out.c_str(), 0555), 0);
  EXPECT_EQ(child.wait(), 5);
  EXPECT_EQ(child.err(), "");
  EXPECT_EQ(child.out(), "");
  EXPECT_TRUE(fs::exists(out + "/000000.png"));
}

// Regions of the astronaut photograph (512x512), labelled by hand.
struct Region {
  const char* name;
  int left, top, right, bottom;
  bool person;
};
const Region kRegions[] = {
    {"face", 190, 95, 250, 160, true},
    {"chest", 150, 300, 240, 420, true},
    {"wall between flag and hair", 105, 30, 140, 60, false},
    {"wall beside the head", 310, 40, 350, 110, false},
    {"wall right of the shuttle", 468, 30, 488, 110, false},
};

TEST_F(Program, EveryMatteOfAPersonClipMarksThePerson) {
  const std::string out = dir / "out";
  const Result r = run({video("person.mp4"), out});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"frames\": 10}\n");
  for (std::size_t frame = 0; frame < 10; ++frame) {
    SCOPED_TRACE(frame);
    const auto png = readPng(out + "/" + numbered(frame + 1).back());
    ASSERT_TRUE(png.has_value());
    ASSERT_EQ(png->width, 384u);
    ASSERT_EQ(png->height, 384u);
    // The clip zooms about the photograph's centre by 1 + 0.01 per frame, shown at 384x384.
    const double zoom = 1.0 + 0.01 * static_cast<double>(frame);
    auto map = [&](int p) {
      return static_cast<int>(std::lround(((p - 256) * zoom + 256) * 384.0 / 512.0));
    };
    for (const Region& region : kRegions) {
      SCOPED_TRACE(region.name);
      // Every region stays inside the frame at the strongest zoom.
      ASSERT_GE(map(region.left), 0);
      ASSERT_GE(map(region.top), 0);
      ASSERT_LE(map(region.right), 384);
      ASSERT_LE(map(region.bottom), 384);
      double sum = 0;
      int count = 0;
      for (int y = map(region.top); y < map(region.bottom); ++y) {
        for (int x = map(region.left); x < map(region.right); ++x) {
          sum += png->pixels[static_cast<std::size_t>(y) * 384 + x];
          ++count;
        }
      }
      ASSERT_GT(count, 0);
      const double mean = sum / count;
      if (region.person) {
        EXPECT_GE(mean, 200.0);
      } else {
        EXPECT_LE(mean, 40.0);
      }
    }
  }
}

// A person a quarter of the frame's height, walking across a plain wall: every matte marks the
// labelled regions of the photograph right.
TEST_F(Program, EveryMatteOfAFarPersonMarksThePerson) {
  const std::string out = dir / "out";
  const Result r = run({video("far.mp4"), out});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"frames\": 8}\n");
  for (std::size_t frame = 0; frame < 8; ++frame) {
    SCOPED_TRACE(frame);
    const auto png = readPng(out + "/" + numbered(frame + 1).back());
    ASSERT_TRUE(png.has_value());
    ASSERT_EQ(png->width, 1280u);
    ASSERT_EQ(png->height, 720u);
    const testing::Placement at{200.0 + 8.0 * static_cast<double>(frame), 480.0, 180.0 / 512.0};
    for (const testing::Region& region : testing::astronautRegions()) {
      SCOPED_TRACE(region.name);
      const double mean = testing::regionMean(png->pixels.data(), 1280, 720, region, at);
      if (region.person) {
        EXPECT_GE(mean, 200.0);
      } else {
        EXPECT_GE(mean, 0.0);
        EXPECT_LE(mean, 40.0);
      }
    }
    // The wall away from the person is background.
    double wall = 0;
    for (std::uint32_t y = 0; y < 360; ++y) {
      for (std::uint32_t x = 0; x < 1280; ++x) wall += png->pixels[y * 1280 + x];
    }
    EXPECT_LE(wall / (360.0 * 1280.0), 1.0);
  }
}

// The number in `text` between `prefix` and the first character that is not a digit, and what
// follows it; nothing when `text` does not start with `prefix` and a number.
std::optional<std::pair<std::size_t, std::string>> numberAfter(const std::string& text,
                                                               const std::string& prefix) {
  if (text.rfind(prefix, 0) != 0) return std::nullopt;
  std::size_t end = prefix.size();
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) ++end;
  if (end == prefix.size() || end - prefix.size() > 18) return std::nullopt;
  return std::make_pair(std::stoul(text.substr(prefix.size(), end - prefix.size())),
                        text.substr(end));
}

// Damaged copies of the test clips (cut short, or with bytes flipped, from a fixed seed): every run
// ends with a status of the table and only the table's messages, whatever the damage.
TEST_F(Program, DamagedVideosEndWithAStatusOfTheTable) {
  const char* clips[] = {"rotated.mp4", "two_tracks.mkv", "size_3x2.mkv", "broken_after_3.y4m"};
  std::mt19937 random(20261210);
  int run_count = 0;
  for (const char* clip : clips) {
    const std::string original = readFile(video(clip));
    ASSERT_FALSE(original.empty());
    for (int mutation = 0; mutation < 8; ++mutation) {
      std::string damaged = original;
      if (mutation < 3) {
        damaged.resize(damaged.size() * static_cast<std::size_t>(mutation + 1) / 4);
      } else {
        const int flips = 1 << (mutation - 3);  // 1 to 16 bytes
        for (int i = 0; i < flips; ++i) {
          const std::size_t at = random() % damaged.size();
          damaged[at] = static_cast<char>(damaged[at] ^ (1 << (random() % 8)));
        }
      }
      const std::string input = dir / ("damaged" + std::to_string(run_count));
      std::ofstream(input, std::ios::binary) << damaged;
      const std::string out = dir / ("out" + std::to_string(run_count++));
      SCOPED_TRACE(std::string(clip) + " mutation " + std::to_string(mutation));

      const Result r = run({input, out});
      switch (r.status) {
        case 0: {
          const auto frames = numberAfter(r.out, "{\"frames\": ");
          ASSERT_TRUE(frames.has_value()) << r.out;
          EXPECT_EQ(frames->second, "}\n");
          EXPECT_EQ(mattes(out).size(), frames->first);
          EXPECT_EQ(r.err, "");
          break;
        }
        case 1:
          EXPECT_TRUE(r.err.empty() || r.err == "no video track\n") << r.err;
          EXPECT_EQ(r.out, "");
          break;
        case 6:
          if (!r.err.empty()) {
            const auto frames = numberAfter(r.err, "video decode did not complete (frames=");
            ASSERT_TRUE(frames.has_value()) << r.err;
            // "): ", a reason on the one line, and its newline.
            const std::string& rest = frames->second;
            EXPECT_EQ(rest.rfind("): ", 0), 0u) << r.err;
            EXPECT_GT(rest.size(), 4u) << r.err;
            EXPECT_EQ(rest.find('\n'), rest.size() - 1) << r.err;
            EXPECT_EQ(mattes(out).size(), frames->first);
          }
          EXPECT_EQ(r.out, "");
          break;
        default:
          ADD_FAILURE() << "status " << r.status << ": " << r.err;
      }
    }
  }
}

}  // namespace
}  // namespace trelvo::matte

// quorvane-render against direct calls into the built library: the same
// input and the same control changes at the same samples must give the same
// output, bit for bit, whatever block sizes the renderer uses; and a command
// line that cannot be carried out must fail clearly and leave no output.

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <math.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <lv2/core/lv2.h>
#include <sndfile.h>

#include "tests/host.hpp"

namespace {

using enum Role;

// The renderer's --plugin names, in its order: every plugin of the table by
// its URI's last segment, less "quorvane-".
std::string plugin_names() {
  std::vector<std::string> names;
  for (const PluginInfo &p : plugin_table) {
    std::string n = std::strrchr(p.uri, '/') + 1;
    names.push_back(n.rfind("quorvane-", 0) == 0 ? n.substr(9) : n);
  }
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string &n : names)
    all += (all.empty() ? "" : ", ") + n;
  return all;
}

const char *const bundle_dir = QUORVANE_BUNDLE_DIR;

struct Change {
  long long at;
  Role port;
  float value;
};

// The plugin driven one sample per call, each change applied just before
// its sample: the plainest possible host.
std::vector<float> direct(const std::vector<float> &in, const std::vector<Change> &changes) {
  const LV2_Descriptor *d = host::descriptor(0);
  LV2_Handle h = d->instantiate(d, 8000.0, bundle_dir, nullptr);
  ByRole<float> controls = {};
  float x = 0.0f, y = 0.0f;
  d->connect_port(h, host::index_of(0, IN), &x);
  d->connect_port(h, host::index_of(0, OUT), &y);
  for (Role p : {FREEZE, MIX, BLUR, SHIFT, THRESHOLD}) {
    controls[p] = info_of(p).fallback; // the declared defaults
    d->connect_port(h, host::index_of(0, p), &controls[p]);
  }
  std::vector<float> out(in.size());
  size_t next = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    while (next < changes.size() && changes[next].at == static_cast<long long>(i)) {
      controls[changes[next].port] = changes[next].value;
      ++next;
    }
    x = in[i];
    d->run(h, 1);
    out[i] = y;
  }
  d->cleanup(h);
  return out;
}

void write_wav(const std::string &path, const std::vector<float> &samples, int channels,
               int rate = 8000) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  ASSERT_EQ(sf_write_float(f, samples.data(), static_cast<sf_count_t>(samples.size())),
            static_cast<sf_count_t>(samples.size()));
  sf_close(f);
}

std::vector<float> read_wav(const std::string &path, int *rate = nullptr, int *format = nullptr) {
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
  if (!f) {
    return {};
  }
  EXPECT_EQ(info.channels, 1);
  std::vector<float> v(static_cast<size_t>(info.frames));
  EXPECT_EQ(sf_readf_float(f, v.data(), info.frames), info.frames);
  sf_close(f);
  if (rate) {
    *rate = info.samplerate;
  }
  if (format) {
    *format = info.format;
  }
  return v;
}

// All the samples a decoder gives, which for a file cut short may be none.
std::vector<float> decode(const std::string &path) {
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<float> all, block(4096);
  for (sf_count_t n; f && (n = sf_readf_float(f, block.data(), 4096)) > 0;) {
    all.insert(all.end(), block.begin(), block.begin() + n);
  }
  if (f) {
    sf_close(f);
  }
  return all;
}

// A pipe holding `data`, its writing end closed: a stream on standard input.
int pipe_with(const std::string &data) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  EXPECT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fds[1]);
  return fds[0];
}

std::vector<float> test_signal(size_t n) {
  std::vector<float> v(n);
  uint32_t seed = 12345;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    const float t = static_cast<float>(i);
    v[i] = 0.4f * sinf(0.09f * t) + 0.2f * sinf(0.37f * t + 0.002f * t * 0.01f * t) + 0.05f * noise;
  }
  return v;
}

struct Result {
  int status;
  std::string err;
};

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// How the renderer is run: see Render::start.
struct Spawn {
  const char *lv2_path = nullptr;
  int out_fd = -1;
  rlim_t max_file = 64 << 20;
  int in_fd = -1;
  bool nohup = false;              // start with SIGHUP ignored
  int err_fd = -1;                 // standard error, if not the file finish() reads
  unsigned closed = 0;             // bit n: start with descriptor n closed
  gid_t as_nobody = 0;             // if not 0, run as nobody, in this group besides nogroup
  const char *read_only = nullptr; // a folder mounted read-only for the renderer alone
};

class Render : public ::testing::Test {
protected:
  void SetUp() override {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quorvane-render-test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir = buf.data();
  }
  void TearDown() override {
    // Everything under the folder, folders included, deepest first.
    nftw(
        dir.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }

  std::set<std::string> files() const {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
      while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
          names.insert(e->d_name);
        }
      }
      closedir(d);
    }
    return names;
  }

  std::string path(const char *name) const { return dir + "/" + name; }

  // Starts the renderer with the given LV2_PATH (through the emulator, whose
  // words are separated by '|', when cross-built); its error output is
  // collected by finish(). Standard input and output are `in_fd` and
  // `out_fd` if given, and its files are limited to `max_file` bytes
  // (ulimit -f), so that a regression cannot fill the disk.
  pid_t start(const std::vector<std::string> &args, const Spawn &run) const {
    std::vector<std::string> argv;
    std::stringstream emulator(QUORVANE_EMULATOR);
    for (std::string word; std::getline(emulator, word, '|');) {
      if (!word.empty()) {
        argv.push_back(word);
      }
    }
    argv.push_back(QUORVANE_RENDER);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    cargv.reserve(argv.size() + 1);
    for (std::string &a : argv) {
      cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(err_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(run.err_fd >= 0 ? run.err_fd : fd, 2);
      const int null = open("/dev/null", O_RDWR);
      dup2(run.in_fd >= 0 ? run.in_fd : null, 0);
      dup2(run.out_fd >= 0 ? run.out_fd : null, 1);
      for (int n = 0; n < 3; ++n) {
        if (run.closed & (1u << n)) {
          close(n);
        }
      }
      if (run.read_only && (unshare(CLONE_NEWNS) != 0 ||
                            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                            mount(run.read_only, run.read_only, nullptr, MS_BIND, nullptr) != 0 ||
                            mount(nullptr, run.read_only, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                                  nullptr) != 0)) {
        _exit(126);
      }
      const gid_t groups[] = {65534, run.as_nobody};
      if (run.as_nobody && (setgroups(2, groups) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                            setresuid(65534, 65534, 65534) != 0)) {
        _exit(125);
      }
      rlimit limit{};
      getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = std::min(limit.rlim_cur, run.max_file);
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGHUP, run.nohup ? SIG_IGN : SIG_DFL);
      if (run.lv2_path) {
        setenv("LV2_PATH", run.lv2_path, 1);
      } else {
        unsetenv("LV2_PATH");
      }
      execvp(cargv[0], cargv.data());
      _exit(127);
    }
    return pid;
  }
  Result finish(pid_t pid) const {
    int status = 0;
    waitpid(pid, &status, 0);
    const std::string err = read_file(err_path());
    unlink(err_path().c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), err};
  }
  Result render(const std::vector<std::string> &args, const Spawn &run = {}) const {
    return finish(start(args, run));
  }
  std::string err_path() const { return dir + "/../" + dir.substr(dir.rfind('/') + 1) + ".stderr"; }

  std::string dir;
};

// Ports: 2 freeze, 3 mix, 4 blur, 5 shift, 6 threshold. Changes sit on and
// beside the frame boundaries (every 256 samples) and mid-block, so a change
// applied one sample early or late changes the output.
const std::vector<std::string> automation = {
    "blur=0.3",         "freeze=1@0.32s", "freeze=0@5119",       "shift=0.25@1023",
    "mix=0.5@777",      "mix=1@3001",     "threshold=0.02@4100", "blur=0.7@750ms",
    "mix=0.75@0.1001s", // 800.8 samples: the nearest is 801
    "shift=-0.5@0.75s", "mix=0@9999",     "mix=0.25@10001",
};
const std::vector<Change> automation_direct = {
    {0, BLUR, 0.3f},      {777, MIX, 0.5f},     {801, MIX, 0.75f},        {1023, SHIFT, 0.25f},
    {2560, FREEZE, 1.0f}, {3001, MIX, 1.0f},    {4100, THRESHOLD, 0.02f}, {5119, FREEZE, 0.0f},
    {6000, BLUR, 0.7f},   {6000, SHIFT, -0.5f}, {9999, MIX, 0.0f},        {10001, MIX, 0.25f},
};

TEST_F(Render, OutputEqualsDirectCallsForAnyBlockSize) {
  const std::vector<float> in = test_signal(12000);
  write_wav(path("in.wav"), in, 1);
  const std::vector<std::string> &settings = automation;
  const std::vector<Change> &changes = automation_direct;
  const std::vector<float> want = direct(in, changes);
  ASSERT_EQ(want.size(), in.size());

  const std::vector<std::vector<std::string>> modes = {{"--block", "1"},
                                                       {"--block", "100"},
                                                       {"--block", "4096"},
                                                       {"--block", "700", "--vary-blocks"}};
  for (const auto &mode : modes) {
    std::vector<std::string> args = mode;
    args.insert(args.end(), {"--bundle", bundle_dir, path("in.wav"), path("out.wav")});
    args.insert(args.end(), settings.begin(), settings.end());
    const Result r = render(args);
    ASSERT_EQ(r.status, 0) << r.err;
    int rate = 0, format = 0;
    const std::vector<float> got = read_wav(path("out.wav"), &rate, &format);
    EXPECT_EQ(rate, 8000);
    // Float data in the extensible header, and no PEAK chunk, whose time
    // stamp would make two renders of the same samples differ.
    EXPECT_EQ(format, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT);
    EXPECT_EQ(read_file(path("out.wav")).find("PEAK"), std::string::npos);
    ASSERT_EQ(got.size(), want.size());
    size_t first_diff = got.size();
    for (size_t i = 0; i < got.size() && first_diff == got.size(); ++i) {
      // Bit for bit: -0 and 0 differ, and so would two NaNs.
      if (std::bit_cast<uint32_t>(got[i]) != std::bit_cast<uint32_t>(want[i])) {
        first_diff = i;
      }
    }
    EXPECT_EQ(first_diff, got.size())
        << "block mode " << mode[1] << (mode.size() > 2 ? " varying" : "")
        << ": first difference at sample " << first_diff;
  }
  // Only the output is left behind: no temporary files.
  EXPECT_EQ(files(), (std::set<std::string>{"in.wav", "out.wav"}));

  // The comparison is sharp: the same changes one sample late differ.
  std::vector<Change> late = changes, truncated = changes;
  for (Change &c : late) {
    c.at += c.at ? 1 : 0;
  }
  truncated[2].at = 800;
  EXPECT_NE(direct(in, late), want);
  EXPECT_NE(direct(in, truncated), want);
}

TEST_F(Render, FindsTheBundleThroughLv2PathAndAppendsATail) {
  const std::vector<float> in = test_signal(3000);
  write_wav(path("in.wav"), in, 1);
  const std::string lv2_dir = std::string(bundle_dir).substr(0, std::string(bundle_dir).rfind('/'));
  const Result r =
      render({"--tail", "1024", path("in.wav"), path("out.wav"), "shift=0.125", "mix=0.5@1500"},
             {lv2_dir.c_str()});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<float> padded = in;
  padded.resize(in.size() + 1024, 0.0f);
  EXPECT_EQ(read_wav(path("out.wav")), direct(padded, {{0, SHIFT, 0.125f}, {1500, MIX, 0.5f}}));
}

TEST_F(Render, StartsFromAPresetWithSettingsOnTop) {
  const std::vector<float> in = test_signal(4000);
  write_wav(path("in.wav"), in, 1);
  const Result r = render({"--bundle", bundle_dir, "--preset", "shifted SHIMMER", path("in.wav"),
                           path("out.wav"), "blur=0.4@2000"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Shifted shimmer: freeze 0, mix 0.5, blur 0.1, shift 0.125, threshold 0.
  EXPECT_EQ(read_wav(path("out.wav")),
            direct(in, {{0, MIX, 0.5f}, {0, BLUR, 0.1f}, {0, SHIFT, 0.125f}, {2000, BLUR, 0.4f}}));
}

TEST_F(Render, StereoIsRefusedUnlessDownmixRequested) {
  std::vector<float> left = test_signal(2048), stereo(2 * left.size()), mono(left.size());
  for (size_t i = 0; i < left.size(); ++i) {
    const float right = -0.5f * left[(i * 7) % left.size()];
    stereo[2 * i] = left[i];
    stereo[2 * i + 1] = right;
    mono[i] = (left[i] + right) / 2.0f;
  }
  write_wav(path("in.wav"), stereo, 2);
  Result r = render({"--bundle", bundle_dir, path("in.wav"), path("out.wav")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("2 channels"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--downmix"), std::string::npos) << r.err;
  EXPECT_EQ(files(), std::set<std::string>{"in.wav"});

  r = render({"--downmix", "--bundle", bundle_dir, path("in.wav"), path("out.wav"), "blur=0.2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_wav(path("out.wav")), direct(mono, {{0, BLUR, 0.2f}}));
}

// A stereo file goes through a stereo plugin channel for channel, exactly as
// a host that calls the plugin itself gets it, with each change at its
// sample; the aligned one comes out lined up with its input. A mono file is
// refused by a stereo plugin, with both counts.
TEST_F(Render, StereoPluginsTakeStereoFiles) {
  const std::vector<float> left = test_signal(6000);
  std::vector<float> stereo(2 * left.size());
  for (size_t i = 0; i < left.size(); ++i) {
    stereo[2 * i] = left[i];
    stereo[2 * i + 1] = 0.7f * left[(i * 5 + 333) % left.size()];
  }
  write_wav(path("in.wav"), stereo, 2, 48000); // the rate host::Instance gives
  const std::vector<Change> changes = {{0, BLUR, 0.3f}, {1023, SHIFT, 0.25f}, {2560, FREEZE, 1.0f}};
  for (const char *name : {"coherent-stereo", "coherent-aligned-stereo"}) {
    SCOPED_TRACE(name);
    const uint32_t which =
        host::which_of((std::string("http://quorvane.audio/lv2/quorvane-") + name).c_str());
    ASSERT_LT(which, host::plugin_count) << "no such plugin in the table";
    const bool aligned = plugin_table[which].latency;
    Result r = render({"--bundle", bundle_dir, "--plugin", name, "--block", "700", path("in.wav"),
                       path("out.wav"), "blur=0.3", "shift=0.25@1023", "freeze=1@2560"});
    ASSERT_EQ(r.status, 0) << r.err;
    SF_INFO info{};
    SNDFILE *f = sf_open(path("out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(info.channels, 2);
    ASSERT_EQ(info.frames, static_cast<sf_count_t>(left.size()));
    std::vector<float> got(2 * left.size());
    sf_readf_float(f, got.data(), info.frames);
    sf_close(f);

    // The plugin by hand, one sample per call; the aligned one's output then
    // runs 1024 samples late, which the renderer takes off, and its changes
    // past the start come as much later.
    host::Instance inst(which);
    ByRole<float> ctl = {};
    ctl[MIX] = 1.0f;
    float x[2] = {}, y[2] = {};
    for (Role port : {FREEZE, MIX, BLUR, SHIFT, THRESHOLD})
      inst.connect(port, &ctl[port]);
    inst.connect(IN, &x[0]);
    inst.connect(IN_R, &x[1]);
    inst.connect(OUT, &y[0]);
    inst.connect(OUT_R, &y[1]);
    const size_t late = aligned ? 1024 : 0;
    std::vector<float> want(2 * (left.size() + late));
    size_t next = 0;
    for (size_t i = 0; i < left.size() + late; ++i) {
      while (next < changes.size() &&
             changes[next].at + (changes[next].at ? static_cast<long long>(late) : 0) ==
                 static_cast<long long>(i))
        ctl[changes[next].port] = changes[next].value, ++next;
      x[0] = i < left.size() ? stereo[2 * i] : 0.0f;
      x[1] = i < left.size() ? stereo[2 * i + 1] : 0.0f;
      inst.run(1);
      want[2 * i] = y[0];
      want[2 * i + 1] = y[1];
    }
    want.erase(want.begin(), want.begin() + static_cast<long>(2 * late));
    want.resize(got.size());
    EXPECT_TRUE(got == want) << "the stereo render differs from the plugin called by hand";
  }
  write_wav(path("mono.wav"), left, 1);
  Result r = render(
      {"--bundle", bundle_dir, "--plugin", "coherent-stereo", path("mono.wav"), path("out2.wav")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("1 channel"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("2"), std::string::npos) << r.err;
}

TEST_F(Render, BadCommandLinesFailClearlyAndWriteNothing) {
  const std::string no_such_plugin = "no such plugin; the plugins are: " + plugin_names();
  write_wav(path("in.wav"), test_signal(4000), 1); // 0.5 s at 8 kHz
  {
    std::ofstream text(path("notes.txt"));
    text << "this is not audio\n";
  }
  {
    std::ofstream old(path("out.wav"));
    old << "previous render";
    std::ofstream(path("read-only.wav")) << "kept";
    mkdir(path("broken.lv2").c_str(), 0755);
    std::ofstream(path("broken.lv2/manifest.ttl")) << "<urn:broken> a {{ not turtle\n";
  }
  ASSERT_EQ(chmod(path("read-only.wav").c_str(), 0444), 0);
  const std::string in = path("in.wav"), out = path("out.wav");
  const std::string b = bundle_dir;
  // The input under other names: a symbolic link, a hard link, another path.
  ASSERT_EQ(symlink("in.wav", path("in-link.wav").c_str()), 0);
  ASSERT_EQ(link(in.c_str(), path("in-twin.wav").c_str()), 0);
  const std::string in_again = dir + "/../" + dir.substr(dir.rfind('/') + 1) + "/in.wav";
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *message;
    rlim_t max_file = 64 << 20; // should a refusal regress, it stops here
    const char *stdin_file = nullptr;
  };
  // 4000 samples and this tail come just under and just over what a WAV's
  // 32-bit sizes hold; a file size limit shows the choice without writing.
  const std::string wav_tail = "1073700000", rf64_tail = "1073800000";
  // A path too long for the system: the reason must survive the long name.
  std::string too_long = dir + "/";
  for (int i = 0; i < 600; ++i) {
    too_long += "./";
  }
  too_long += std::string(300, 'n');
  std::string rate0 = read_file(in); // the fmt chunk's rate, at byte 24, is 0
  rate0.replace(24, 4, std::string(4, '\0'));
  std::ofstream(path("rate0.wav"), std::ios::binary) << rate0;
  const std::vector<Case> cases = {
      {{"--bundle", b, too_long, out}, 2, ": File name too long"},
      {{"--bundle", b, path("rate0.wav"), out}, 2, "its header gives a sample rate of 0"},
      {{"--bundle", b, "-", out}, 2, "standard input is a directory", 64 << 20, ""},
      {{"--bundle", b, in, out, "freeze=0.5"}, 2, "freeze is a switch; it takes 0 (off) or 1"},
      {{"--bundle", b, in, out, "freeze=1@0x10s"}, 2, "not a time"},
      {{"--bundle", b, in, out, "blur=0x0.8"}, 2, "not a number"},
      {{"--bundle", b, path("missing.wav"), out}, 2, "cannot open"},
      {{"--bundle", b, path("notes.txt"), out}, 2, "cannot read"},
      {{"--bundle", b, dir, out}, 2, "is a directory; the input must be a sound file"},
      {{"--bundle", b, in, out, "blurr=0.5"}, 2, "unknown control 'blurr'"},
      {{"--bundle", b, in, out, "in=0.5"}, 2, "unknown control 'in'"},
      {{"--bundle", b, in, out, "blur=lots"}, 2, "not a number"},
      {{"--bundle", b, in, out, "blur=nan"}, 2, "not a number"},
      {{"--bundle", b, in, out, "blur"}, 2, "expected SYMBOL=VALUE"},
      {{"--bundle", b, in, out, "blur=1.5"}, 2, "out of range; blur takes 0 to 1"},
      {{"--bundle", b, in, out, "shift=1e40"}, 2, "out of range; shift takes -1 to 1"},
      {{"--bundle", b, in, out, "shift=-2@1s"}, 2, "out of range"},
      {{"--bundle", b, in, out, "freeze=1@1.5x"}, 2, "not a time"},
      {{"--bundle", b, in, out, "freeze=1@-3"}, 2, "not a time"},
      {{"--bundle", b, in, out, "freeze=1@12.5"}, 2, "not a time"},
      {{"--bundle", b, in, out, "freeze=1@0.5s"}, 2, "past the end"},
      {{"--bundle", b, in, out, "freeze=1@4000"}, 2, "past the end"},
      {{"--block", "0", "--bundle", b, in, out}, 2, "--block 0"},
      {{"--block", "many", "--bundle", b, in, out}, 2, "--block many"},
      {{"--tail", "soon", "--bundle", b, in, out}, 2, "--tail soon"},
      {{"--loud", "--bundle", b, in, out}, 2, "unknown option --loud"},
      {{"--bundle", b, in}, 2, "need an INPUT and an OUTPUT"},
      {{"--bundle", path("nowhere.lv2"), in, out}, 2, "not a directory"},
      {{"--bundle", b, "--uri", "http://example.org/none", in, out}, 2, "no such plugin"},
      {{"--bundle", b, "--uri", "not a uri", in, out}, 2, "--uri not a uri: not a URI"},
      {{"--bundle", b, "--plugin", "loud", in, out}, 2, no_such_plugin.c_str()},
      // An empty value is refused, not taken as absent; a folder without a
      // manifest is named as such, without lilv's own lines.
      {{"--bundle", b, "--preset", "", in, out}, 2, "--preset is empty"},
      {{"--bundle", "", in, out}, 2, "--bundle is empty"},
      {{"--bundle", b, "--plugin", "", in, out}, 2, "--plugin is empty"},
      {{"--bundle", b, in, ""}, 2, "OUTPUT is empty"},
      {{"--bundle", dir, in, out}, 2, "no readable manifest.ttl"},
      {{"--bundle", path("broken.lv2"), in, out}, 2, "no such plugin"},
      {{"--bundle", b, in, path("no-such-dir/out.wav")}, 2, "cannot write"},
      {{"--bundle", b, in, path("read-only.wav")}, 2, "read-only; pass --force"},
      {{"--bundle", b, "--preset", "Loud", in, out}, 2, "no such preset; the presets are:"},
      {{"--bundle", b, in, in}, 2, "is the input file"},
      {{"--bundle", b, in, path("in-link.wav")}, 2, "is the input file"},
      {{"--bundle", b, in, path("in-twin.wav")}, 2, "is the input file"},
      {{"--bundle", b, in, in_again}, 2, "is the input file"},
      {{"--bundle", b, "-", in}, 2, "is the input file", 64 << 20, "in.wav"},
      {{"--bundle", b, in, dir}, 2, "is a directory"},
      {{"--tail", "1e9s", "--bundle", b, in, out}, 2, "its file system has"},
      {{"--tail", wav_tail, "--bundle", b, in, out}, 2, "as WAV, over the 1.0 MiB", 1 << 20},
      {{"--tail", rf64_tail, "--bundle", b, in, out}, 2, "as RF64", 1 << 20},
  };
  const std::set<std::string> before = files();
  for (const Case &c : cases) {
    std::string line;
    for (const std::string &a : c.args) {
      line += " " + a;
    }
    SCOPED_TRACE(line);
    const int in_fd = c.stdin_file ? open(path(c.stdin_file).c_str(), O_RDONLY) : -1;
    const Result r = render(c.args, {nullptr, -1, c.max_file, in_fd});
    close(in_fd);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("quorvane-render: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err; // its own line only
    EXPECT_EQ(files(), before);
  }
  // Without LV2_PATH or --bundle the plugin is looked for in the default
  // places; pointed at an empty directory it is not found.
  const Result r = render({in, out}, {dir.c_str()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no such plugin http://quorvane.audio/lv2/quorvane (LV2_PATH="),
            std::string::npos)
      << r.err;
  std::ifstream old(out);
  std::string kept;
  std::getline(old, kept);
  EXPECT_EQ(kept, "previous render");
  EXPECT_EQ(read_wav(in), test_signal(4000));
  // Asked to, it replaces a read-only file, which stays read-only.
  ASSERT_EQ(render({"--force", "--bundle", b, in, path("read-only.wav")}).status, 0);
  struct stat st;
  ASSERT_EQ(stat(path("read-only.wav").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}

std::string read_all(int fd) {
  std::string data;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

// Each kind of output gets the same sound and stays what it was: a symbolic
// link stays a link with its file's mode, hard links stay one file, a device
// stays a device, and a pipe or FIFO receives a whole WAV.
TEST_F(Render, OutputsOfEveryKindKeepWhatTheyAre) {
  const std::vector<float> in = test_signal(4000);
  write_wav(path("in.wav"), in, 1);
  const std::vector<float> want = direct(in, {});
  {
    std::ofstream(path("kept.wav")) << "old";
    std::ofstream(path("pair.wav")) << "old";
  }
  ASSERT_EQ(chmod(path("kept.wav").c_str(), 0640), 0);
  ASSERT_EQ(symlink("kept.wav", path("link.wav").c_str()), 0);
  ASSERT_EQ(link(path("pair.wav").c_str(), path("twin.wav").c_str()), 0);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  const int fifo = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK); // a reader is waiting
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  // A value too small for a float is a number all the same: it is 0.
  const std::vector<std::string> outputs = {path("link.wav"), path("pair.wav"), "/dev/null",
                                            path("fifo"), "-"};
  for (const std::string &o : outputs) {
    const Result r = render({"--bundle", bundle_dir, path("in.wav"), o, "shift=1e-50"},
                            {nullptr, o == "-" ? pipe_fds[1] : -1});
    EXPECT_EQ(r.status, 0) << o << ": " << r.err;
  }
  close(pipe_fds[1]);
  fcntl(fifo, F_SETFL, 0);
  std::ofstream(path("from-fifo.wav")) << read_all(fifo);
  std::ofstream(path("from-pipe.wav")) << read_all(pipe_fds[0]);
  close(fifo);
  close(pipe_fds[0]);

  for (const char *name : {"kept.wav", "twin.wav", "from-fifo.wav", "from-pipe.wav"}) {
    EXPECT_EQ(read_wav(path(name)), want) << name;
  }
  struct stat kept, link_st, pair, twin, null;
  ASSERT_EQ(stat(path("kept.wav").c_str(), &kept), 0);
  ASSERT_EQ(lstat(path("link.wav").c_str(), &link_st), 0);
  ASSERT_EQ(stat(path("pair.wav").c_str(), &pair), 0);
  ASSERT_EQ(stat(path("twin.wav").c_str(), &twin), 0);
  ASSERT_EQ(stat("/dev/null", &null), 0);
  EXPECT_TRUE(S_ISLNK(link_st.st_mode));
  EXPECT_EQ(kept.st_mode & 0777, 0640u);
  EXPECT_EQ(pair.st_ino, twin.st_ino);
  EXPECT_EQ(pair.st_nlink, 2u);
  EXPECT_TRUE(S_ISCHR(null.st_mode));
  EXPECT_EQ(files(), (std::set<std::string>{"in.wav", "kept.wav", "link.wav", "pair.wav",
                                            "twin.wav", "fifo", "from-fifo.wav", "from-pipe.wav"}));
}

// An input whose header promises more than it holds is rendered as far as
// it goes, with a warning that gives both counts: a WAV, whose data is cut,
// and a FLAC, whose decoder runs dry partway.
TEST_F(Render, CutShortInputIsRenderedAsFarAsItGoes) {
  const std::vector<float> in = test_signal(4000);
  write_wav(path("in.wav"), in, 1);
  struct stat st;
  ASSERT_EQ(stat(path("in.wav").c_str(), &st), 0);
  ASSERT_EQ(truncate(path("in.wav").c_str(), st.st_size - 1000 * 4), 0);
  Result r = render({"--bundle", bundle_dir, path("in.wav"), path("out.wav")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("promises 4000 frames, the file holds 3000"), std::string::npos) << r.err;
  EXPECT_EQ(read_wav(path("out.wav")), direct({in.begin(), in.begin() + 3000}, {}));

  SF_INFO info{};
  info.samplerate = 8000;
  info.channels = 1;
  info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path("in.flac").c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  const std::vector<float> long_in = test_signal(40000);
  sf_writef_float(f, long_in.data(), 40000);
  sf_close(f);
  ASSERT_EQ(stat(path("in.flac").c_str(), &st), 0);
  ASSERT_EQ(truncate(path("in.flac").c_str(), st.st_size / 2), 0);
  r = render({"--bundle", bundle_dir, path("in.flac"), path("out.wav")});
  ASSERT_EQ(r.status, 0) << r.err;
  const size_t found = read_wav(path("out.wav")).size();
  EXPECT_GT(found, 0u);
  EXPECT_NE(r.err.find("promises 40000 frames, the file holds " + std::to_string(found)),
            std::string::npos)
      << r.err;

  // Junk in the middle of a FLAC, an Ogg or an MP3 (which its decoder skips,
  // a frame lost) is damage, not an end: exit 1, the old output kept.
  const std::string kept = read_file(path("out.wav"));
  for (const auto &[name, format, junk] :
       {std::tuple{"junk.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 512},
        {"junk.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 512},
        {"junk.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 64}}) {
    SCOPED_TRACE(name);
    SF_INFO junk_info{0, 8000, 1, format, 0, 0};
    SNDFILE *g = sf_open(path(name).c_str(), SFM_WRITE, &junk_info);
    ASSERT_NE(g, nullptr) << sf_strerror(nullptr);
    sf_writef_float(g, long_in.data(), 40000);
    sf_close(g);
    std::string data = read_file(path(name));
    // Into an MP3 at a frame's header, so that its decoder skips to the next.
    const size_t at = junk == 64 ? data.find("\xff\xe3", data.size() / 2) : data.size() / 2;
    ASSERT_LT(at + 512, data.size());
    for (size_t k = 0; k < static_cast<size_t>(junk); ++k) {
      data[at + k] = static_cast<char>(k * 37 + 11);
    }
    std::ofstream(path(name), std::ios::binary) << data;
    r = render({"--bundle", bundle_dir, path(name), path("out.wav")});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("cannot decode " + path(name) + ": damaged data"), std::string::npos)
        << r.err;
    EXPECT_TRUE(read_file(path("out.wav")) == kept);
  }
}

// Compressed formats and WAV, from a file or through a pipe, whole or cut
// short: the output is what the decoder gives plus the tail, the same either
// way, and "cut short" is said only where a header promised more.
TEST_F(Render, StreamsAreReadToTheirEnd) {
  const std::vector<float> in = test_signal(16000);
  const std::vector<std::pair<const char *, int>> formats = {
      {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
      {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
      {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
      {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
      {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16}};
  std::string wav, cut_opus;
  for (const auto &[type, format] : formats) {
    SF_INFO info{8000, 8000, 1, format, 0, 0};
    SNDFILE *f = sf_open(path("whole").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << type << ": " << sf_strerror(nullptr);
    sf_writef_float(f, in.data(), static_cast<sf_count_t>(in.size()));
    sf_close(f);
    const std::string whole = read_file(path("whole"));
    wav = whole; // the last one, kept for the placeholder below
    for (const std::string &data : {whole, whole.substr(0, whole.size() * 9 / 10)}) {
      SCOPED_TRACE(std::string(type) + (data == whole ? " whole" : " cut short"));
      std::ofstream(path("in"), std::ios::binary) << data;
      cut_opus = strcmp(type, "opus") == 0 && data != whole ? data : cut_opus;
      std::vector<float> want = decode(path("in"));
      want.resize(want.size() + 100, 0.0f);
      Result r = render({"--tail", "100", "--bundle", bundle_dir, path("in"), path("out.wav")});
      ASSERT_EQ(r.status, 0) << r.err;
      const int type_of = format & SF_FORMAT_TYPEMASK;
      EXPECT_EQ(r.err.find("cut short") != std::string::npos,
                data != whole && (type_of == SF_FORMAT_WAV || type_of == SF_FORMAT_FLAC))
          << r.err;
      EXPECT_TRUE(data != whole || r.err.empty()) << r.err;
      const std::string from_file = read_file(path("out.wav"));
      const size_t peak = from_file.find("PEAK"); // RF64, with its stamp cleared
      EXPECT_TRUE(peak == std::string::npos || from_file.substr(peak + 12, 4) == std::string(4, 0));
      EXPECT_EQ(read_wav(path("out.wav")), direct(want, {}));
      const int fd = pipe_with(data);
      r = render({"--tail", "100", "--bundle", bundle_dir, "-", path("out.wav")},
                 {nullptr, -1, 64 << 20, fd});
      close(fd);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(read_file(path("out.wav")), from_file);
    }
  }
  // An Ogg stream cut short has no known length: a time past its end is
  // found when it ends, and the old output stays.
  std::ofstream(path("keep.wav")) << "old";
  int fd = pipe_with(cut_opus);
  Result r = render({"--bundle", bundle_dir, "-", path("keep.wav"), "mix=0@15000"},
                    {nullptr, -1, 64 << 20, fd});
  close(fd);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("past the end of the input"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(path("keep.wav")), "old");
  // A WAV from a writer that could not seek back (sox into a pipe) has a
  // placeholder for its size: no promise, so no warning.
  const size_t data_chunk = wav.find("data");
  ASSERT_NE(data_chunk, std::string::npos);
  for (const size_t at : {size_t{4}, data_chunk + 4}) {
    wav.replace(at, 4, std::string("\x00\xf0\xff\x7f", 4));
  }
  // So is sox's AIFF placeholder, in its frame count and its data's size.
  SF_INFO aiff_info{0, 8000, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE *f = sf_open(path("in.aiff").c_str(), SFM_WRITE, &aiff_info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  sf_writef_float(f, in.data(), static_cast<sf_count_t>(in.size()));
  sf_close(f);
  std::string aiff = read_file(path("in.aiff"));
  aiff.replace(aiff.find("COMM") + 10, 4, std::string("\x3f\x80\x00\x00", 4));
  aiff.replace(aiff.find("SSND") + 4, 4, std::string("\x7f\x00\x00\x08", 4));
  for (const std::string &data : {wav, aiff}) {
    fd = pipe_with(data);
    r = render({"--bundle", bundle_dir, "-", path("keep.wav")}, {nullptr, -1, 64 << 20, fd});
    close(fd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_wav(path("keep.wav")), direct(decode(path("whole")), {}));
  }
  // Samples past a placeholder are read to the end: a sparse file 1000
  // samples longer than sox's 2 GiB shows its length by a change past it.
  // A file may still be being written: a note says how far it is read.
  std::ofstream(path("long.wav"), std::ios::binary) << wav;
  ASSERT_EQ(truncate(path("long.wav").c_str(), data_chunk + 8 + 0x7ffff000LL + 2000), 0);
  r = render({"--bundle", bundle_dir, path("long.wav"), path("keep.wav"), "mix=0@2000000000"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("note: " + path("long.wav") + ": its header gives no length"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("past the end of the input (1073740776 samples"), std::string::npos)
      << r.err;
}

// Waits until `pid` sleeps without using the processor for a while: blocked
// on a FIFO's other end or a lock; false if it ended. /proc/PID/stat gives its state, then (from
// the fourteenth field) its user and system time.
bool wait_blocked(pid_t pid) {
  std::string last;
  int still = 0;
  for (int tries = 0; tries < 1200 && still < 6; ++tries) {
    usleep(50000);
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 2)));
    std::string state, skip, user, system;
    fields >> state;
    for (int i = 4; i < 14; ++i) {
      fields >> skip;
    }
    fields >> user >> system;
    if (state.empty() || state == "Z") {
      return false; // ended
    }
    const std::string now = state + " " + user + " " + system;
    still = state == "S" && now == last ? still + 1 : 0;
    last = now;
  }
  return still >= 6;
}

// A hang-up ignored at the start (nohup) stays ignored; an interrupt while
// waiting on a FIFO, for its reader or its writer, exits 130 and leaves the
// old output as it was.
TEST_F(Render, SignalsAreTreatedAsUnixToolsTreatThem) {
  write_wav(path("in.wav"), test_signal(4000), 1);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  std::ofstream(path("keep.wav")) << "old";
  pid_t pid = start({"--bundle", bundle_dir, path("in.wav"), path("fifo")}, {.nohup = true});
  EXPECT_TRUE(wait_blocked(pid));
  kill(pid, SIGHUP);
  EXPECT_TRUE(wait_blocked(pid));
  const int reader = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK); // the WAV fits its buffer
  Result r = finish(pid);
  fcntl(reader, F_SETFL, 0);
  std::ofstream(path("got.wav"), std::ios::binary) << read_all(reader);
  close(reader);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_wav(path("got.wav")), direct(test_signal(4000), {}));

  for (const auto &[input, output] :
       {std::pair{path("in.wav"), path("fifo")}, std::pair{path("fifo"), path("keep.wav")}}) {
    pid = start({"--bundle", bundle_dir, input, output}, {});
    EXPECT_TRUE(wait_blocked(pid));
    kill(pid, SIGINT);
    r = finish(pid);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(path("keep.wav")), "old");
  EXPECT_EQ(files(), (std::set<std::string>{"in.wav", "fifo", "keep.wav", "got.wav"}));
}

// Past the size a file may have (as on a full disk), a stream whose length
// is not known in advance fails with a message and leaves the old output.
TEST_F(Render, StreamPastTheFileSizeLimitLeavesTheOldOutput) {
  SF_INFO info{8000, 8000, 1, SF_FORMAT_OGG | SF_FORMAT_OPUS, 0, 0};
  SNDFILE *f = sf_open(path("whole.opus").c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  const std::vector<float> in = test_signal(16000);
  sf_writef_float(f, in.data(), static_cast<sf_count_t>(in.size()));
  sf_close(f);
  const std::string opus = read_file(path("whole.opus"));
  std::ofstream(path("keep.wav")) << "old";
  const int fd = pipe_with(opus.substr(0, opus.size() * 9 / 10));
  const Result r =
      render({"--bundle", bundle_dir, "-", path("keep.wav")}, {nullptr, -1, 16 << 10, fd});
  close(fd);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("over the size allowed for a file (ulimit -f); " + path("keep.wav") +
                       " left as it was"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(path("keep.wav")), "old");
  EXPECT_EQ(files(), (std::set<std::string>{"whole.opus", "keep.wav"}));
}

// A replaced file keeps its ACL and extended attributes; a file with hard
// links is written under a lock, so a render waits for another to finish;
// any legal name works, however long.
TEST_F(Render, ReplacedOutputsKeepTheirAttributesAndAreNeverMixed) {
  const std::vector<float> in = test_signal(4000);
  write_wav(path("in.wav"), in, 1);
  const std::vector<float> want = direct(in, {});
  std::ofstream(path("acl.wav")) << "old";
  // user::rw- user:4242:rw- group::r-- mask::rw- other::r--, as setfacl stores it.
  const uint32_t acl[] = {2,          0x00060001, 0xffffffff, 0x00060002, 4242,      0x00040004,
                          0xffffffff, 0x00060010, 0xffffffff, 0x00040020, 0xffffffff};
  const bool attrs =
      setxattr(path("acl.wav").c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0 &&
      setxattr(path("acl.wav").c_str(), "user.take", "7", 1, 0) == 0;
  const std::string long_name(250, 'n');
  for (const std::string &o : {path("acl.wav"), path(long_name.c_str())}) {
    const Result r = render({"--bundle", bundle_dir, path("in.wav"), o});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_wav(o), want);
  }
  if (attrs) {
    char got[sizeof acl + 1] = {};
    EXPECT_EQ(getxattr(path("acl.wav").c_str(), "system.posix_acl_access", got, sizeof got),
              static_cast<ssize_t>(sizeof acl));
    EXPECT_EQ(memcmp(got, acl, sizeof acl), 0);
    EXPECT_EQ(getxattr(path("acl.wav").c_str(), "user.take", got, sizeof got), 1);
    struct stat st;
    ASSERT_EQ(stat(path("acl.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
  }

  std::ofstream(path("pair.wav")) << "old";
  ASSERT_EQ(link(path("pair.wav").c_str(), path("twin.wav").c_str()), 0);
  const int held = open(path("pair.wav").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const pid_t pid = start({"--bundle", bundle_dir, path("in.wav"), path("twin.wav")}, {});
  EXPECT_TRUE(wait_blocked(pid));
  EXPECT_NE(read_file(err_path()).find("waiting for another render"), std::string::npos);
  EXPECT_EQ(read_file(path("pair.wav")), "old");
  close(held);
  const Result r = finish(pid);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_wav(path("pair.wav")), want);

  // Durable, as strace sees it: the data reaches the disk before the
  // rename, and the folder after it; a file written in place is synced.
  if (!*QUORVANE_EMULATOR) {
    const std::string log = err_path() + ".strace";
    for (const std::string o : {"acl.wav", "twin.wav"}) {
      // LeakSanitizer cannot run under ptrace: off for this run in the
      // sanitizer build (no effect elsewhere).
      const std::string cmd = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" "
                              "strace -f -y -qq -e trace=fsync,fdatasync,rename,renameat,renameat2 "
                              "-o " +
                              log + " " QUORVANE_RENDER " --bundle " + bundle_dir + " " +
                              path("in.wav") + " " + path(o.c_str());
      ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
      const std::string calls = read_file(log);
      unlink(log.c_str());
      const size_t renamed = calls.find("rename");
      if (o == "acl.wav") {
        EXPECT_LT(calls.find("<" + dir + "/.acl.wav."), renamed) << calls;
        EXPECT_NE(calls.find("<" + dir + ">)", renamed), std::string::npos) << calls;
      } else {
        EXPECT_NE(calls.find("<" + path("twin.wav") + ">)"), std::string::npos) << calls;
      }
    }
  }
  EXPECT_EQ(files(),
            (std::set<std::string>{"in.wav", "acl.wav", long_name, "pair.wav", "twin.wav"}));
}

// Descriptors and terminals: text never lands in the sound, whichever of
// descriptors 0 to 2 is closed or leads to a reader that quits, and text
// written to standard output is checked like the sound.
TEST_F(Render, DescriptorsAndTerminalsKeepTextOutOfTheSound) {
  const std::vector<float> in = test_signal(4000);
  write_wav(path("in.wav"), in, 1);
  const std::string whole = read_file(path("in.wav"));
  const std::string cut = whole.substr(0, whole.size() - 4000); // 1000 samples short
  std::ofstream(path("cut.wav"), std::ios::binary) << cut;
  const std::vector<float> want = direct(in, {});
  const std::vector<float> want_cut = direct({in.begin(), in.begin() + 3000}, {});
  const std::string b = bundle_dir;

  // With stderr closed, the warning and the progress lines go nowhere: not
  // into the output, nor into the kept copy of a piped input.
  for (const bool piped : {false, true}) {
    SCOPED_TRACE(piped ? "from a pipe" : "from a file");
    const int fd = piped ? pipe_with(cut) : open(path("cut.wav").c_str(), O_RDONLY);
    const Result r = render({"--progress", "--bundle", b, "-", path("out.wav")},
                            {.in_fd = fd, .closed = 1u << 2});
    close(fd);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(path("out.wav")).find("quorvane-render"), std::string::npos);
    EXPECT_EQ(read_wav(path("out.wav")), want_cut);
  }
  // Closed standard output or input named as - is said to be closed.
  Result r = render({"--bundle", b, path("in.wav"), "-"}, {.closed = 1u << 1});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("standard output is closed"), std::string::npos) << r.err;
  r = render({"--bundle", b, "-", path("out2.wav")}, {.closed = 1u << 0});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("standard input is closed"), std::string::npos) << r.err;

  // A reader of stderr that quits does not stop the render; a reader of the
  // sound that quits is a failure, said as such (not a silent 141).
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  r = render({"--progress", "--bundle", b, path("in.wav"), path("out.wav")}, {.err_fd = fds[1]});
  close(fds[1]);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_wav(path("out.wav")), want);
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  r = render({"--bundle", b, path("in.wav"), "-"}, {.out_fd = fds[1]});
  close(fds[1]);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot write -: the reader closed the pipe"), std::string::npos) << r.err;

  // Standard output that appends (>>) or stands past the start of a file
  // gets the whole WAV where it stands: the same bytes as a named output.
  // Opened on a longer file without cutting it (1<>), it keeps nothing of it.
  const std::string wav = read_file(path("out.wav"));
  for (const auto &[flags, before] : {std::pair{O_APPEND, std::string()},
                                      {O_APPEND, std::string("head")},
                                      {0, "head"},
                                      {O_RDWR, std::string(wav.size() * 2, 'x')}}) {
    SCOPED_TRACE(std::to_string(flags) + " after '" + before.substr(0, 8) + "'");
    const int fd = open(path("std.wav").c_str(),
                        (flags == O_RDWR ? O_RDWR : O_WRONLY | flags) | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(write(fd, before.data(), before.size()), static_cast<ssize_t>(before.size()));
    lseek(fd, 0, flags == O_RDWR ? SEEK_SET : SEEK_CUR);
    r = render({"--bundle", b, path("in.wav"), "-"}, {.out_fd = fd});
    close(fd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(path("std.wav")), (flags == O_RDWR ? "" : before) + wav);
  }

  // --help and --version write to standard output, checked: a full device
  // is a failure. --version gives the version the packages carry.
  const int full = open("/dev/full", O_WRONLY);
  for (const char *option : {"--help", "--version"}) {
    r = render({option}, {.out_fd = full});
    EXPECT_EQ(r.status, 1) << option;
    EXPECT_NE(r.err.find("cannot write standard output"), std::string::npos) << r.err;
  }
  close(full);
  ASSERT_EQ(pipe(fds), 0);
  r = render({"--version"}, {.out_fd = fds[1]});
  close(fds[1]);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_all(fds[0]), "quorvane-render " QUORVANE_VERSION "\n");
  close(fds[0]);
  ASSERT_EQ(pipe(fds), 0);
  r = render({"--bundle", b, "--help"}, {.out_fd = fds[1]});
  close(fds[1]);
  EXPECT_NE(read_all(fds[0]).find("for --plugin: " + plugin_names()), std::string::npos);
  close(fds[0]);
  EXPECT_EQ(files(), (std::set<std::string>{"in.wav", "cut.wav", "out.wav", "std.wav"}));
}

// The descriptor the renderer has open on `name` and its position, or -1.
long long open_at(pid_t pid, const std::string &name) {
  const std::string proc = "/proc/" + std::to_string(pid);
  DIR *d = opendir((proc + "/fd").c_str());
  long long pos = -1;
  while (dirent *e = d ? readdir(d) : nullptr) {
    char target[4096];
    const ssize_t n = readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == name) {
      std::istringstream info(read_file(proc + "/fdinfo/" + e->d_name));
      std::string key;
      info >> key >> pos;
    }
  }
  if (d) {
    closedir(d);
  }
  return pos;
}

// Links and ownership: a replaced file stays whose it was, in its group,
// with the mode and ACL its folder gives; what cannot be done is found
// before rendering; an interrupt never leaves a mix of two renders.
TEST_F(Render, LinksAndOwnersStayWhatTheyWere) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "acting as another user needs root";
  }
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  const std::vector<float> in = test_signal(4000);
  write_wav(path("in.wav"), in, 1);
  const std::vector<float> want = direct(in, {});
  const std::string b = bundle_dir;
  auto old_file = [&](const char *name, uid_t uid, gid_t gid, mode_t mode) {
    std::ofstream(path(name)) << "old";
    ASSERT_EQ(chown(path(name).c_str(), uid, gid), 0);
    ASSERT_EQ(chmod(path(name).c_str(), mode), 0);
  };
  auto owner = [&](const char *name) {
    struct stat st {};
    stat(path(name).c_str(), &st);
    return std::tuple{st.st_uid, st.st_gid, st.st_mode & 07777};
  };

  // A hard-linked file interrupted while the render is copied into it: the
  // copy ends first, and says so. The interrupt may come too late, once the
  // copy is over; it is tried again until it lands during the copy.
  std::ofstream(path("pair.wav")) << "old";
  ASSERT_EQ(link(path("pair.wav").c_str(), path("twin.wav").c_str()), 0);
  std::vector<float> padded = in;
  padded.resize(in.size() + 8000000, 0.0f);
  const std::vector<float> want_padded = direct(padded, {});
  bool landed = false;
  for (int attempt = 0; attempt < (*QUORVANE_EMULATOR ? 1 : 5) && !landed; ++attempt) {
    std::ofstream(path("pair.wav")) << "old";
    const pid_t pid =
        start({"--tail", "8000000", "--bundle", b, path("in.wav"), path("twin.wav")}, {});
    // Watched as closely as it can be: the copy of 32 MB takes milliseconds.
    bool caught = false;
    const time_t give_up = time(nullptr) + (*QUORVANE_EMULATOR ? 10 : 60);
    while (!caught && time(nullptr) < give_up &&
           read_file("/proc/" + std::to_string(pid) + "/stat").find(") Z") == std::string::npos) {
      caught = open_at(pid, path("twin.wav")) > 0;
    }
    kill(pid, SIGINT);
    const Result r = finish(pid);
    if (caught) { // the copy had begun: it is finished, never left half done
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(read_wav(path("pair.wav")), want_padded);
    } else { // still rendering: nothing is touched
      EXPECT_EQ(r.status, 130) << r.err;
      EXPECT_EQ(read_file(path("pair.wav")), "old");
    }
    landed = caught && r.err.find("once the render was complete") != std::string::npos;
  }
  // Under an emulator the render is slow and the copy's moment cannot be
  // aimed at; each outcome is still checked above.
  if (!*QUORVANE_EMULATOR) {
    EXPECT_TRUE(landed) << "no interrupt came during the copy";
  }
  unlink(path("pair.wav").c_str());
  unlink(path("twin.wav").c_str());

  // A member of a file's group replaces it: it stays root's and the group's.
  old_file("shared.wav", 0, 4242, 0664);
  Result r = render({"--bundle", b, path("in.wav"), path("shared.wav")}, {.as_nobody = 4242});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(owner("shared.wav"), std::tuple(0u, 4242u, 0664u));
  EXPECT_EQ(read_wav(path("shared.wav")), want);
  // So does the user's own file in a group they are not in.
  old_file("mine.wav", 65534, 0, 0664);
  r = render({"--bundle", b, path("in.wav"), path("mine.wav")}, {.as_nobody = 4242});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(owner("mine.wav"), std::tuple(65534u, 0u, 0664u));
  EXPECT_EQ(read_wav(path("mine.wav")), want);

  // --force over another user's read-only file: it becomes the caller's, as
  // only root can give it back, and stays read-only.
  old_file("root.wav", 0, 0, 0644);
  r = render({"--bundle", b, path("in.wav"), path("root.wav")}, {.as_nobody = 4242});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("read-only; pass --force"), std::string::npos) << r.err;
  r = render({"--force", "--bundle", b, path("in.wav"), path("root.wav")}, {.as_nobody = 4242});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("will be yours"), std::string::npos) << r.err;
  EXPECT_EQ(std::get<0>(owner("root.wav")), 65534u);
  EXPECT_EQ(std::get<2>(owner("root.wav")) & 0222, 0u);
  EXPECT_EQ(read_wav(path("root.wav")), want);

  // In a sticky folder another user's writable file is written in place,
  // staying theirs; one that only a rename could replace is refused before
  // rendering.
  ASSERT_EQ(mkdir(path("sticky").c_str(), 01777), 0);
  ASSERT_EQ(chmod(path("sticky").c_str(), 01777), 0);
  old_file("sticky/open.wav", 0, 0, 0666);
  old_file("sticky/closed.wav", 0, 0, 0644);
  r = render({"--bundle", b, path("in.wav"), path("sticky/open.wav")}, {.as_nobody = 4242});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(owner("sticky/open.wav"), std::tuple(0u, 0u, 0666u));
  EXPECT_EQ(read_wav(path("sticky/open.wav")), want);
  r = render({"--force", "--bundle", b, path("in.wav"), path("sticky/closed.wav")},
             {.as_nobody = 4242});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("sticky bit"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(path("sticky/closed.wav")), "old");

  // A new output gets the ACL a new file gets in its folder (its default
  // ACL, mask included), as touch would give it.
  ASSERT_EQ(mkdir(path("shared").c_str(), 0777), 0);
  // user::rwx user:4242:rw- group::r-x mask::rwx other::r-x
  const uint32_t acl[] = {2,          0x00070001, 0xffffffff, 0x00060002, 4242,      0x00050004,
                          0xffffffff, 0x00070010, 0xffffffff, 0x00050020, 0xffffffff};
  ASSERT_EQ(setxattr(path("shared").c_str(), "system.posix_acl_default", acl, sizeof acl, 0), 0);
  close(open(path("shared/touched").c_str(), O_WRONLY | O_CREAT, 0666));
  r = render({"--bundle", b, path("in.wav"), path("shared/new.wav")});
  EXPECT_EQ(r.status, 0) << r.err;
  char got[256] = {}, touched[256] = {};
  const ssize_t n = getxattr(path("shared/new.wav").c_str(), "system.posix_acl_access", got, 256);
  ASSERT_EQ(n, getxattr(path("shared/touched").c_str(), "system.posix_acl_access", touched, 256));
  EXPECT_EQ(memcmp(got, touched, static_cast<size_t>(std::max<ssize_t>(n, 0))), 0);
  EXPECT_EQ(std::get<2>(owner("shared/new.wav")), std::get<2>(owner("shared/touched")));

  // On a read-only mount, a writable file is not said to need --force.
  old_file("mounted.wav", 0, 0, 0644);
  r = render({"--bundle", b, path("in.wav"), path("mounted.wav")}, {.read_only = dir.c_str()});
  ASSERT_NE(r.status, 126) << "cannot mount";
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("mounted read-only"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_EQ(files(), (std::set<std::string>{"in.wav", "shared.wav", "mine.wav", "root.wav",
                                            "sticky", "shared", "mounted.wav"}));
}

// Exit codes: a full device fails as a full disk does (1), a signal that
// would end the renderer (real-time ones, and a crash's when sent) leaves no
// hidden file (130),
// so does a folder moved away during the render (1), and a header that says
// no data though data follows is said as such.
TEST_F(Render, ExitCodesAndMessagesSayWhatHappened) {
  const std::vector<float> in = test_signal(4000);
  write_wav(path("in.wav"), in, 1);
  const std::string b = bundle_dir;
  const int full = open("/dev/full", O_WRONLY);
  for (const std::string &o : {std::string("/dev/full"), std::string("-")}) {
    const Result r = render({"--bundle", b, path("in.wav"), o}, {.out_fd = full});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("no space left on the device"), std::string::npos) << r.err;
  }
  close(full);

  std::ofstream(path("keep.wav")) << "old";
  for (const int sig : {SIGQUIT, SIGUSR1, SIGALRM, SIGRTMIN, SIGRTMAX, SIGSEGV}) {
    // qemu-user keeps some of the host's real-time signals for itself and
    // cannot pass them all on to the program it runs.
    if (*QUORVANE_EMULATOR && (sig == SIGRTMIN || sig == SIGRTMAX))
      continue;
    SCOPED_TRACE(strsignal(sig));
    const pid_t pid = start({"--tail", "20000000", "--bundle", b, path("in.wav"), path("keep.wav")},
                            {.max_file = 1u << 30});
    bool hidden = false;
    for (int tries = 0; tries < 20000 && !hidden && kill(pid, 0) == 0; ++tries) {
      usleep(100);
      for (const std::string &f : files()) {
        hidden = hidden || f.rfind(".keep.wav.", 0) == 0;
      }
    }
    kill(pid, sig);
    const Result r = finish(pid);
    EXPECT_TRUE(hidden);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted; " + path("keep.wav") + " left as it was"), std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(path("keep.wav")), "old");
    EXPECT_EQ(files(), (std::set<std::string>{"in.wav", "keep.wav"}));
  }
  // The output's folder moved away mid-render: a failure, and the hidden
  // file goes with it, wherever the folder went.
  auto entries = [](const std::string &folder) {
    int n = -2; // . and ..
    DIR *d = opendir(folder.c_str());
    while (d && readdir(d)) {
      ++n;
    }
    if (d) {
      closedir(d);
    }
    return n;
  };
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  const pid_t pid = start(
      {"--block", "1", "--tail", "400000", "--bundle", b, path("in.wav"), path("sub/out.wav")}, {});
  for (int tries = 0; tries < 20000 && entries(path("sub")) == 0; ++tries) {
    usleep(100);
  }
  ASSERT_EQ(rename(path("sub").c_str(), path("moved").c_str()), 0);
  const Result moved = finish(pid);
  EXPECT_EQ(moved.status, 1) << moved.err;
  EXPECT_NE(moved.err.find("sub was moved or removed during the render"), std::string::npos)
      << moved.err;
  EXPECT_EQ(entries(path("moved")), 0);
  rmdir(path("moved").c_str());

  // A WAV whose header gives its data a size of 0: no samples, and why.
  std::string wav = read_file(path("in.wav"));
  const size_t data = wav.find("data");
  ASSERT_NE(data, std::string::npos);
  wav.replace(data + 4, 4, std::string(4, '\0'));
  std::ofstream(path("zero.wav"), std::ios::binary) << wav;
  const Result r = render({"--bundle", b, path("zero.wav"), path("out.wav")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("holds no samples: its header gives the data chunk a size of 0 bytes, "
                       "yet 16000 bytes follow it"),
            std::string::npos)
      << r.err;
}

// An input whose length is not known before it is read (an MP3, a pipe)
// gives the same bytes as the same samples in a WAV: no chunk of its own.
TEST_F(Render, UnknownLengthGivesTheSameBytes) {
  SF_INFO info{8000, 8000, 1, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 0, 0};
  SNDFILE *f = sf_open(path("in.mp3").c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  const std::vector<float> in = test_signal(16000);
  sf_writef_float(f, in.data(), static_cast<sf_count_t>(in.size()));
  sf_close(f);
  write_wav(path("same.wav"), decode(path("in.mp3")), 1);
  const std::string b = bundle_dir;
  Result r = render({"--tail", "100", "--bundle", b, path("same.wav"), path("known.wav")});
  ASSERT_EQ(r.status, 0) << r.err;
  r = render({"--tail", "100", "--bundle", b, path("in.mp3"), path("mp3.wav")});
  ASSERT_EQ(r.status, 0) << r.err;
  const int fd = pipe_with(read_file(path("same.wav")));
  r = render({"--tail", "100", "--bundle", b, "-", path("piped.wav")}, {.in_fd = fd});
  close(fd);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string known = read_file(path("known.wav"));
  EXPECT_EQ(read_file(path("mp3.wav")), known);
  EXPECT_EQ(read_file(path("piped.wav")), known);
  EXPECT_EQ(known.find("JUNK"), std::string::npos);
  EXPECT_EQ(known.find("PEAK"), std::string::npos);
}

} // namespace

// quorvane aligned delays its dry signal to meet the wet one and reports the
// 1024 samples; the renderer compensates, so the dry signal comes out as the
// input itself and the wet one as the first plugin's, 1024 samples earlier.
// Its automation is compensated too, as a DAW places it: a change is heard
// from its own sample of the output, on every plugin that reports latency.
TEST_F(Render, AlignedPluginIsCompensatedToLineUpWithTheInput) {
  const std::vector<float> in = test_signal(5000);
  write_wav(path("in.wav"), in, 1);
  for (const char *name : {"aligned", "coherent-aligned"}) {
    SCOPED_TRACE(name);
    const Result r = render({"--plugin", name, "--bundle", bundle_dir, path("in.wav"),
                             path("dry.wav"), "mix=0", "mix=1@3001"});
    ASSERT_EQ(r.status, 0) << r.err; // the bundle always has both
    const std::vector<float> got = read_wav(path("dry.wav"));
    ASSERT_EQ(got.size(), in.size());
    size_t first = 0;
    while (first < in.size() && got[first] == in[first]) {
      ++first;
    }
    EXPECT_EQ(first, 3001u) << "the switch to the wet signal is heard from the wrong sample";
  }

  std::vector<std::string> args = {
      "--block",           "700",      "--vary-blocks",   "--bundle",
      bundle_dir,          "--plugin", "aligned",         path("in.wav"),
      path("aligned.wav"), "blur=0.3", "shift=0.25@1023", "freeze=1@2560"};
  Result r = render(args);
  ASSERT_EQ(r.status, 0) << r.err;
  r = render({"--tail", "1024", "--bundle", bundle_dir, path("in.wav"), path("late.wav"),
              "blur=0.3", "shift=0.25@2047", "freeze=1@3584"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<float> late = read_wav(path("late.wav"));
  ASSERT_EQ(late.size(), in.size() + 1024);
  EXPECT_EQ(read_wav(path("aligned.wav")), std::vector<float>(late.begin() + 1024, late.end()));
}

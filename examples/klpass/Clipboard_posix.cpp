#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Arguments.h"
#include "Clipboard.h"
#include "Console.h"
#include "crypto/KLHMAC.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "random/KLRandom.h"

extern char** environ;

namespace klpass {

namespace {

// The most a paste is read: a clipboard holding more is not our value.
constexpr std::size_t kMaxPaste = 1 << 20;
constexpr std::size_t kKeySize = 32;

// One clipboard tool's three uses: copy its standard input, print the
// clipboard, and clear it (an empty Clear copies empty input instead).
struct TClipboardTool {
  const char* Name;
  const char* Display; // the environment variable it needs
  std::vector<const char*> Copy, Paste, Clear;
};

const std::array<TClipboardTool, 3>& Tools() {
  static const std::array<TClipboardTool, 3> tools = {{
      {"wl-copy", "WAYLAND_DISPLAY", {"wl-copy"}, {"wl-paste", "--no-newline"}, {"wl-copy", "--clear"}},
      {"xclip", "DISPLAY", {"xclip", "-selection", "clipboard"}, {"xclip", "-selection", "clipboard", "-o"}, {}},
      {"xsel",
       "DISPLAY",
       {"xsel", "--clipboard", "--input"},
       {"xsel", "--clipboard", "--output"},
       {"xsel", "--clipboard", "--delete"}},
  }};
  return tools;
}

bool OnPath(const std::string& Name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string dirs = path;
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    struct stat info {};
    const std::string file = dir + "/" + Name;
    if (::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(file.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

const TClipboardTool* FindTool(const std::string& Name = {}) {
  for (const TClipboardTool& tool : Tools()) {
    if (!Name.empty() && Name != tool.Name) continue;
    const char* display = std::getenv(tool.Display);
    if (display != nullptr && *display != '\0' && OnPath(tool.Copy[0]) && OnPath(tool.Paste[0])) return &tool;
  }
  return nullptr;
}

// Runs Argv with Input on its standard input and, when Output is given, its
// standard output read into it (at most kMaxPaste bytes); standard error goes
// to /dev/null. The exit status, or -1 when it could not be started.
int RunTool(const std::vector<const char*>& Argv, std::string_view Input, std::string* Output) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if (::pipe(in) != 0) return -1;
  if (Output != nullptr && ::pipe(out) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  if (Output != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const char* arg : Argv) argv.push_back(const_cast<char*>(arg));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  if (Output != nullptr) ::close(out[1]);
  if (spawned == 0) {
    for (std::size_t done = 0; done < Input.size();) {
      const ssize_t n = ::write(in[1], Input.data() + done, Input.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }
  ::close(in[1]);
  if (Output != nullptr) {
    std::array<char, 4096> buffer{};
    for (;;) {
      const ssize_t n = ::read(out[0], buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (Output->size() <= kMaxPaste) Output->append(buffer.data(), static_cast<std::size_t>(n));
    }
    kl::SecureZero(buffer.data(), buffer.size());
    ::close(out[0]);
  }
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

kl::TMessageDigest256 Digest(std::string_view Value, const kl::ByteArray& Key) {
  kl::ByteArray data(Value.begin(), Value.end());
  const kl::TMessageDigest256 digest = kl::MAC256Calculate(data, Key);
  kl::SecureZero(data.data(), data.size());
  return digest;
}

// Starts the clearing helper: this program again, in a session of its own,
// without the terminal or the caller's output, given the key and the digest.
void StartClearing(const TClipboardTool& Tool, std::int32_t ClearAfter, std::string_view Value) {
  kl::ByteArray key(kKeySize);
  kl::TKLFastRandomGenerator random;
  random.Generate(key.data(), static_cast<std::int32_t>(key.size()));
  kl::TMessageDigest256 digest = Digest(Value, key);
  std::string input(reinterpret_cast<const char*>(key.data()), key.size());
  input.append(reinterpret_cast<const char*>(&digest), sizeof digest);
  kl::SecureZero(key.data(), key.size());
  kl::SecureZeroObject(digest);

  int in[2] = {-1, -1};
  if (::pipe(in) != 0) Fail(kExitFileError, "cannot start clearing the clipboard");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  const std::string seconds = std::to_string(ClearAfter);
  std::array<char*, 5> argv = {const_cast<char*>("klpass"), const_cast<char*>(kClipboardClearCommand),
                               const_cast<char*>(seconds.c_str()), const_cast<char*>(Tool.Name), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  if (spawned == 0) {
    const ssize_t written = ::write(in[1], input.data(), input.size());
    (void)written; // the helper refuses short input: nothing is cleared then
  }
  ::close(in[1]);
  kl::WipeRawBytes(input);
  if (spawned != 0) Fail(kExitFileError, "cannot start clearing the clipboard");
}

} // namespace

std::string CopyToClipboard(const kl::String& Text, std::int32_t ClearAfter) {
  const TClipboardTool* tool = FindTool();
  if (tool == nullptr) {
    Fail(kExitFileError,
         "no clipboard: copying needs wl-copy and wl-paste (Wayland, WAYLAND_DISPLAY set), or xclip or xsel "
         "(X11, DISPLAY set)");
  }
  std::string value = kl::StrToUTF8(Text);
  const int status = RunTool(tool->Copy, value, nullptr);
  if (status != 0) {
    kl::WipeRawBytes(value);
    Fail(kExitFileError, std::string(tool->Name) + " failed" +
                             (status < 0 ? std::string(" to start") : " (exit status " + std::to_string(status) + ")"));
  }
  if (ClearAfter > 0) StartClearing(*tool, ClearAfter, value);
  kl::WipeRawBytes(value);
  return tool->Name;
}

int RunClipboardClear(const std::vector<std::string>& Words) {
  if (Words.size() != 2) return kExitUsage;
  const std::int32_t seconds = ParseNumber(Words[0], 1, kMaxClearAfter, "the delay");
  const TClipboardTool* tool = FindTool(Words[1]);
  std::array<std::uint8_t, kKeySize + sizeof(kl::TMessageDigest256)> input{};
  kl::WipeOnExit wipeInput(input);
  std::size_t got = 0;
  while (got < input.size()) {
    const ssize_t n = ::read(STDIN_FILENO, input.data() + got, input.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return kExitUsage;
    got += static_cast<std::size_t>(n);
  }
  if (tool == nullptr) return kExitFileError;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  std::string pasted;
  const int status = RunTool(tool->Paste, {}, &pasted);
  kl::ByteArray key(input.begin(), input.begin() + kKeySize);
  const bool whole = pasted.size() <= kMaxPaste;
  kl::TMessageDigest256 digest = Digest(pasted, key);
  kl::WipeRawBytes(pasted);
  kl::SecureZero(key.data(), key.size());
  const bool ours = status == 0 && whole && kl::ConstantTimeEqual(&digest, input.data() + kKeySize, sizeof digest);
  kl::SecureZeroObject(digest);
  if (!ours) return kExitOk; // replaced meanwhile: not ours to clear
  if (tool->Clear.empty()) return RunTool(tool->Copy, {}, nullptr) == 0 ? kExitOk : kExitFileError;
  return RunTool(tool->Clear, {}, nullptr) == 0 ? kExitOk : kExitFileError;
}

} // namespace klpass

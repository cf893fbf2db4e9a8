// mirelo-update-client: the desktop application's side of the update helper, from a shell.
//
//   mirelo-update-client [--json] [--helper PATH] [--parent FOLDER] COMMAND ...
//
//   setup --executable EXE          create the work folder (0700) on the application's volume
//   new-job PURPOSE                 create a work directory PURPOSE-<UUID>; prints its path
//   probe DIR                       free (0), busy (3)
//   prepare DIR --archive ZIP --executable EXE --version V --tag T
//   discard DIR
//   install DIR --archive ZIP --executable EXE --version V [--pid PID] [--prepared DIR]
//           [--timeout SECONDS]     start the session and return once it is ready
//   phase DIR installing|complete|cancel
//   confirm --executable EXE --version V [--cancel]
//                                   the relaunched application confirms the waiting session
//   events                          the launcher event log, oldest first
//   last-failure DIR                the failure the helper recorded in DIR
//   clean [--keep DIR]...           remove finished work directories and leftovers
//
// The work folder defaults to the folder that holds DIR; the helper to mirelo-update-helper
// beside this program. --pid defaults to the process that started this command.
//
// Exit codes: 0 done (prepared, ready, confirmed, free); 1 the helper recorded a failure;
// 2 bad command line or an error of the client; 3 busy; 4 not enough disk space;
// 5 cancelled; 6 the session was not ready in time; 7 no session is waiting.
// With --json the result is one JSON object on standard output; messages go to standard
// error. SIGINT or SIGTERM cancels a preparation or a session that is not ready yet.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/client_error.h"
#include "client/update_client.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using mirelo::client::ClientError;
using mirelo::client::UpdateClient;

enum Exit { kDone = 0, kFailed = 1, kError = 2, kBusy = 3, kNoSpace = 4, kCancelled = 5, kTimedOut = 6, kNoSession = 7 };

constexpr char kUsage[] =
    "usage: mirelo-update-client [--json] [--helper PATH] [--parent FOLDER] COMMAND ...\n"
    "  setup --executable EXE\n"
    "  new-job PURPOSE\n"
    "  probe DIR\n"
    "  prepare DIR --archive ZIP --executable EXE --version V --tag T\n"
    "  discard DIR\n"
    "  install DIR --archive ZIP --executable EXE --version V [--pid PID] [--prepared DIR] [--timeout SECONDS]\n"
    "  phase DIR installing|complete|cancel\n"
    "  confirm --executable EXE --version V [--cancel]\n"
    "  events\n"
    "  last-failure DIR\n"
    "  clean [--keep DIR]...";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The command line after the global options: positional words and --name value pairs.
struct Arguments {
  std::vector<std::string> words;
  std::multimap<std::string, std::string> options;
  std::vector<std::string> flags;

  std::string required(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end()) throw UsageError("missing --" + name);
    return it->second;
  }
  std::optional<std::string> optional(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::nullopt : std::optional(it->second);
  }
  bool flag(const std::string& name) const { return std::find(flags.begin(), flags.end(), name) != flags.end(); }
};

Arguments parseArguments(const std::vector<std::string>& argv, size_t from, const std::vector<std::string>& flags) {
  Arguments arguments;
  for (size_t i = from; i < argv.size(); ++i) {
    const std::string& word = argv[i];
    if (word.rfind("--", 0) != 0) {
      arguments.words.push_back(word);
      continue;
    }
    const std::string name = word.substr(2);
    if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
      arguments.flags.push_back(name);
      continue;
    }
    if (i + 1 >= argv.size()) throw UsageError(word + " needs a value");
    arguments.options.emplace(name, argv[++i]);
  }
  return arguments;
}

void requireWords(const Arguments& arguments, size_t count) {
  if (arguments.words.size() != count) throw UsageError("wrong number of arguments");
}

long parseNumber(const std::string& text, const char* what) {
  size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty()) throw UsageError(std::string(what) + " must be a whole number");
  return value;
}

fs::path besideThisProgram(const std::string& name) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path(name) : self.parent_path() / name;
}

// The spinner shown on a terminal while the helper works.
class Progress {
 public:
  Progress(bool enabled, std::string label) : enabled_(enabled), label_(std::move(label)) {}
  ~Progress() {
    if (shown_) std::fputs("\r\033[K", stderr);
  }
  mirelo::client::WaitObserver observer() {
    if (!enabled_) return {};
    return [this](std::chrono::steady_clock::duration elapsed) {
      static const char kFrames[] = "|/-\\";
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
      std::fprintf(stderr, "\r%c %s %llds", kFrames[frame_++ % 4], label_.c_str(), static_cast<long long>(seconds));
      std::fflush(stderr);
      shown_ = true;
    };
  }

 private:
  bool enabled_;
  std::string label_;
  unsigned frame_ = 0;
  bool shown_ = false;
};

// SIGINT, SIGTERM and SIGHUP become a stop request, delivered by a thread that waits for them;
// they are blocked before that thread starts, so no other thread takes them.
std::stop_source stopOnSignals() {
  static std::stop_source source;
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int received = 0;
    while (sigwait(&set, &received) == 0) source.request_stop();
  }).detach();
  return source;
}

json failureJson(const std::optional<mirelo::client::Failure>& failure) {
  if (!failure) return nullptr;
  return {{"stage", failure->stage}, {"reason", failure->reason}};
}

std::string failureText(const std::optional<mirelo::client::Failure>& failure) {
  return failure ? failure->stage + ": " + failure->reason : "no reason was recorded";
}

json preparedJson(const mirelo::client::PreparedRecord& r) {
  return {{"schema", r.schema},          {"version", r.version},     {"tag", r.tag},
          {"target", r.target},          {"staging", r.staging},     {"stagingDevice", r.stagingDevice},
          {"stagingInode", r.stagingInode}, {"bundle", r.bundle},    {"candidateInode", r.candidateInode},
          {"inventory", r.inventory},    {"cdhash", r.cdhash}};
}

struct Result {
  int code = kDone;
  json value;
  std::string text;
};

Result run(const std::vector<std::string>& argv, bool asJson) {
  // Global options come first.
  size_t at = 1;
  std::optional<fs::path> helper, parent;
  while (at < argv.size() && argv[at].rfind("--", 0) == 0) {
    if (argv[at] == "--json") {
      ++at;
    } else if ((argv[at] == "--helper" || argv[at] == "--parent") && at + 1 < argv.size()) {
      (argv[at] == "--helper" ? helper : parent) = fs::path(argv[at + 1]);
      at += 2;
    } else {
      throw UsageError("unknown option " + argv[at]);
    }
  }
  if (at >= argv.size()) throw UsageError("no command");
  const std::string command = argv[at];
  const Arguments args = parseArguments(argv, at + 1, {"cancel"});
  const bool withDirectory = command == "probe" || command == "prepare" || command == "discard" ||
                             command == "install" || command == "phase" || command == "last-failure";
  if (withDirectory && args.words.empty()) throw UsageError(command + " needs a work directory");
  if (!parent) {
    if (!withDirectory) throw UsageError(command + " needs --parent");
    fs::path directory = fs::path(args.words[0]).lexically_normal();
    if (directory.filename().empty()) directory = directory.parent_path();
    parent = directory.parent_path().empty() ? fs::path(".") : directory.parent_path();
  }
  const UpdateClient client(helper ? *helper : besideThisProgram("mirelo-update-helper"), *parent);
  const bool terminal = !asJson && ::isatty(STDERR_FILENO);
  Result result;

  if (command == "setup") {
    requireWords(args, 0);
    client.setUp(args.required("executable"));
    result.value = {{"outcome", "ready"}, {"parent", client.parent().string()}};
    result.text = client.parent().string();
  } else if (command == "new-job") {
    requireWords(args, 1);
    const fs::path directory = client.createWorkDirectory(args.words[0]);
    result.value = {{"outcome", "created"}, {"directory", directory.string()}};
    result.text = directory.string();
  } else if (command == "probe") {
    requireWords(args, 1);
    const auto probe = client.probe(args.words[0]);
    const char* word = probe == mirelo::client::Probe::kBusy ? "busy" : probe == mirelo::client::Probe::kFree ? "free" : "error";
    result.code = probe == mirelo::client::Probe::kBusy ? kBusy : probe == mirelo::client::Probe::kFree ? kDone : kError;
    result.value = {{"outcome", word}};
    result.text = word;
  } else if (command == "prepare") {
    requireWords(args, 1);
    const mirelo::client::PrepareRequest request{args.required("archive"), args.required("executable"),
                                                 args.required("version"), args.required("tag")};
    std::stop_source stop = stopOnSignals();
    Progress progress(terminal, "Preparing the update");
    const auto outcome = client.prepare(args.words[0], request, stop.get_token(), progress.observer());
    using Kind = mirelo::client::PrepareOutcome::Kind;
    switch (outcome.kind) {
      case Kind::kPrepared:
        result.value = {{"outcome", "prepared"}, {"prepared", preparedJson(*outcome.prepared)}};
        result.text = "prepared " + outcome.prepared->version + " (" + outcome.prepared->tag + ") in " +
                      outcome.prepared->staging;
        break;
      case Kind::kFailed:
      case Kind::kNoSpace:
        result.code = outcome.kind == Kind::kFailed ? kFailed : kNoSpace;
        result.value = {{"outcome", outcome.kind == Kind::kFailed ? "failed" : "no-space"},
                        {"failure", failureJson(outcome.failure)}};
        result.text = std::string(outcome.kind == Kind::kFailed ? "failed" : "not enough disk space") + " (" +
                      failureText(outcome.failure) + ")";
        break;
      case Kind::kBusy:
        result = {kBusy, {{"outcome", "busy"}}, "busy: a helper is working in this directory"};
        break;
      case Kind::kCancelled:
        result = {kCancelled, {{"outcome", "cancelled"}}, "cancelled"};
        break;
    }
  } else if (command == "discard") {
    requireWords(args, 1);
    const bool done = client.discard(args.words[0]) == mirelo::client::DiscardOutcome::kDone;
    result = done ? Result{kDone, {{"outcome", "discarded"}}, "discarded"}
                  : Result{kBusy, {{"outcome", "busy"}}, "busy: a helper is working in this directory"};
  } else if (command == "install") {
    requireWords(args, 1);
    mirelo::client::InstallRequest request;
    request.archive = args.required("archive");
    request.executable = args.required("executable");
    request.version = args.required("version");
    request.pid = static_cast<pid_t>(args.optional("pid") ? parseNumber(*args.optional("pid"), "--pid") : ::getppid());
    if (auto prepared = args.optional("prepared")) request.prepared = fs::path(*prepared);
    const long timeout = args.optional("timeout") ? parseNumber(*args.optional("timeout"), "--timeout") : 600;
    if (timeout <= 0) throw UsageError("--timeout must be positive");
    std::stop_source stop = stopOnSignals();
    Progress progress(terminal, "Getting the update ready");
    auto outcome = client.install(args.words[0], request, std::chrono::seconds(timeout), stop.get_token(),
                                  progress.observer());
    using Kind = mirelo::client::InstallOutcome::Kind;
    switch (outcome.kind) {
      case Kind::kReady:
        result.value = {{"outcome", "ready"}, {"directory", outcome.session->directory().string()},
                        {"helperPid", outcome.session->helperPid()}};
        result.text = "ready: " + outcome.session->directory().string();
        break;
      case Kind::kFailed:
        result = {kFailed, {{"outcome", "failed"}, {"failure", failureJson(outcome.failure)}},
                  "failed (" + failureText(outcome.failure) + ")"};
        break;
      case Kind::kBusy:
        result = {kBusy, {{"outcome", "busy"}}, "busy: an update session is already running"};
        break;
      case Kind::kTimedOut:
        result = {kTimedOut, {{"outcome", "timed-out"}}, "the session was not ready in time and was ended"};
        break;
      case Kind::kCancelled:
        result = {kCancelled, {{"outcome", "cancelled"}}, "cancelled"};
        break;
    }
  } else if (command == "phase") {
    requireWords(args, 2);
    client.writePhase(args.words[0], args.words[1]);
    result = {kDone, {{"outcome", "written"}, {"phase", args.words[1]}}, args.words[1]};
  } else if (command == "confirm") {
    requireWords(args, 0);
    const char* phase = args.flag("cancel") ? "cancel" : "complete";
    const auto session = client.findWaitingSession(args.required("executable"), args.required("version"));
    if (session) client.writePhase(*session, phase);
    if (!session) {
      result = {kNoSession, {{"outcome", "no-session"}}, "no update session is waiting for this version"};
    } else {
      result = {kDone, {{"outcome", "confirmed"}, {"phase", phase}, {"directory", session->string()}},
                std::string(phase) + ": " + session->string()};
    }
  } else if (command == "events") {
    requireWords(args, 0);
    json list = json::array();
    for (const auto& event : client.events()) {
      json line = {{"schema", event.schema}, {"id", event.id}, {"outcome", event.outcome},
                   {"stage", event.stage}, {"at", event.at}};
      if (event.version) line["version"] = *event.version;
      if (event.kind) line["kind"] = *event.kind;
      list.push_back(line);
      result.text += event.at + " " + event.outcome + " " + event.stage + (event.version ? " " + *event.version : "") +
                     (event.kind ? " " + *event.kind : "") + "\n";
    }
    if (!result.text.empty()) result.text.pop_back();
    result.value = {{"events", list}};
  } else if (command == "last-failure") {
    requireWords(args, 1);
    const auto failure = client.lastFailure(args.words[0]);
    result.value = {{"failure", failureJson(failure)}};
    result.text = failure ? failure->stage + ": " + failure->reason : "none";
  } else if (command == "clean") {
    requireWords(args, 0);
    std::set<fs::path> keep;
    for (auto [it, end] = args.options.equal_range("keep"); it != end; ++it) keep.insert(it->second);
    for (const auto& [name, value] : args.options) {
      if (name != "keep") throw UsageError("unknown option --" + name);
    }
    const auto report = client.clean(keep);
    const auto paths = [](const std::vector<fs::path>& list) {
      json out = json::array();
      for (const auto& path : list) out.push_back(path.string());
      return out;
    };
    result.value = {{"removed", paths(report.removed)}, {"kept", paths(report.kept)},
                    {"tidied", paths(report.tidied)}, {"skipped", report.skipped}};
    if (report.skipped) result.text = "skipped: another client operation is running";
    for (const auto& path : report.removed) result.text += "removed " + path.string() + "\n";
    for (const auto& path : report.tidied) result.text += "tidied " + path.string() + "\n";
    for (const auto& path : report.kept) result.text += "kept " + path.string() + "\n";
    if (!result.text.empty() && result.text.back() == '\n') result.text.pop_back();
    if (report.skipped) result.code = kBusy;
  } else {
    throw UsageError("unknown command " + command);
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  bool asJson = false;
  for (int i = 1; i < argc && args[i].rfind("--", 0) == 0; ++i) {
    if (args[i] == "--json") asJson = true;
    if (args[i] == "--helper" || args[i] == "--parent") ++i;
  }
  int code = kError;
  std::string message;
  try {
    Result result = run(args, asJson);
    if (asJson) {
      std::cout << result.value.dump() << "\n";
    } else if (!result.text.empty()) {
      std::cout << result.text << "\n";
    }
    return result.code;
  } catch (const UsageError& error) {
    message = std::string(error.what()) + "\n" + kUsage;
  } catch (const ClientError& error) {
    message = error.what();
  } catch (const std::system_error& error) {
    message = error.what();
  } catch (const std::exception& error) {
    message = error.what();
  }
  std::cerr << "mirelo-update-client: " << message << "\n";
  if (asJson) std::cout << json{{"outcome", "error"}, {"message", message.substr(0, message.find('\n'))}}.dump() << "\n";
  return code;
}

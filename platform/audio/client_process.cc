#include "platform/audio/client_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/unique_fd.h"

namespace mirelo {
namespace {

constexpr size_t kFlatpakInfoLimit = 64 * 1024;
constexpr size_t kApplicationIDLimit = 255;

std::optional<std::int32_t> parseNumber(std::string_view text) {
  std::int32_t value = 0;
  auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || rest != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// Reads at most `limit` bytes of a small file below /proc; "" when it cannot be read.
std::string readSmall(const std::string& path, size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return {};
  std::string text;
  char buffer[4096];
  while (text.size() < limit) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

std::string fileNameOfExecutable(pid_t pid) {
  char target[PATH_MAX];
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t length = ::readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return {};
  std::string path(target, static_cast<size_t>(length));
  return path.substr(path.rfind('/') + 1);
}

// The last field of NSpid: the pid in the process's own namespace; nothing if unreadable.
std::optional<std::int32_t> innermostPidOf(pid_t pid) {
  std::string status = readSmall("/proc/" + std::to_string(pid) + "/status", 16 * 1024);
  auto start = status.find("\nNSpid:");
  if (start == std::string::npos) return std::nullopt;
  auto end = status.find('\n', start + 1);
  std::string_view fields(status.data() + start + 7, (end == std::string::npos ? status.size() : end) - start - 7);
  std::optional<std::int32_t> last;
  size_t at = 0;
  while (at < fields.size()) {
    while (at < fields.size() && std::isspace(static_cast<unsigned char>(fields[at]))) ++at;
    size_t next = at;
    while (next < fields.size() && !std::isspace(static_cast<unsigned char>(fields[next]))) ++next;
    if (next > at) last = parseNumber(fields.substr(at, next - at));
    at = next;
  }
  return last;
}

// The inodes of the client ends of every connection to the socket bound at `socketPath`:
// the peers of the server's sockets that carry that name.
std::optional<std::unordered_set<std::uint32_t>> clientSocketInodes(const std::string& socketPath) {
  std::set<std::string> names = {socketPath};
  if (char* real = ::realpath(socketPath.c_str(), nullptr)) {
    names.insert(real);
    std::free(real);
  }

  UniqueFd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink) return std::nullopt;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.request.sdiag_family = AF_UNIX;
  message.request.udiag_states = ~0u;
  message.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_PEER;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(netlink.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return std::nullopt;
  }

  std::unordered_set<std::uint32_t> peers;
  alignas(nlmsghdr) char buffer[32 * 1024];
  for (;;) {
    ssize_t got = ::recv(netlink.get(), buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    int length = static_cast<int>(got);
    // The kernel's macros compare the unsigned message length with the signed remainder;
    // the remainder must stay signed, or a last message's alignment would wrap it around.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
#pragma GCC diagnostic pop
      if (header->nlmsg_type == NLMSG_DONE) return peers;
      if (header->nlmsg_type == NLMSG_ERROR) return std::nullopt;
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) continue;
      auto* socket = static_cast<unix_diag_msg*>(NLMSG_DATA(header));
      int attributesLength = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *socket));
      std::optional<std::string> name;
      std::optional<std::uint32_t> peer;
      for (auto* attribute = reinterpret_cast<rtattr*>(socket + 1); RTA_OK(attribute, attributesLength);
           attribute = RTA_NEXT(attribute, attributesLength)) {
        const char* data = static_cast<const char*>(RTA_DATA(attribute));
        size_t size = RTA_PAYLOAD(attribute);
        if (attribute->rta_type == UNIX_DIAG_NAME) {
          std::string text(data, size);
          while (!text.empty() && text.back() == '\0') text.pop_back();
          name = std::move(text);
        } else if (attribute->rta_type == UNIX_DIAG_PEER && size >= sizeof(std::uint32_t)) {
          std::uint32_t inode = 0;
          std::memcpy(&inode, data, sizeof inode);
          peer = inode;
        }
      }
      // The listening socket has no peer; every socket the server accepted carries the
      // listener's name and is connected to one client.
      if (name && peer && names.contains(*name)) peers.insert(*peer);
    }
  }
}

using DirectoryPtr = std::unique_ptr<DIR, int (*)(DIR*)>;

DirectoryPtr openDirectory(const std::string& path) { return DirectoryPtr(::opendir(path.c_str()), &::closedir); }

// How many of `sockets` the process holds among its descriptors.
int connectionsOf(const std::string& pid, const std::unordered_set<std::uint32_t>& sockets) {
  DirectoryPtr fds = openDirectory("/proc/" + pid + "/fd");
  if (!fds) return 0;
  std::unordered_set<std::uint32_t> held;
  while (dirent* entry = ::readdir(fds.get())) {
    if (entry->d_name[0] == '.') continue;
    char target[64];
    ssize_t length = ::readlinkat(::dirfd(fds.get()), entry->d_name, target, sizeof target - 1);
    if (length <= 0) continue;
    std::string_view link(target, static_cast<size_t>(length));
    constexpr std::string_view kPrefix = "socket:[";
    if (!link.starts_with(kPrefix) || !link.ends_with("]")) continue;
    link.remove_prefix(kPrefix.size());
    link.remove_suffix(1);
    std::uint32_t inode = 0;
    auto [rest, error] = std::from_chars(link.data(), link.data() + link.size(), inode);
    if (error == std::errc() && rest == link.data() + link.size() && sockets.contains(inode)) held.insert(inode);
  }
  return static_cast<int>(held.size());
}

bool isApplicationIDCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::map<std::uint32_t, EstablishedPid> establishPids(const std::vector<ClientClaim>& claims,
                                                      const std::vector<ConnectedProcess>& connected) {
  std::map<std::uint32_t, EstablishedPid> result;
  std::unordered_map<std::int32_t, const ConnectedProcess*> byPid;
  for (const auto& process : connected) byPid[process.pid] = &process;
  auto nested = [](const ConnectedProcess& process) { return process.innermostPid != process.pid; };

  std::unordered_map<std::int32_t, int> declarations;
  for (const auto& claim : claims) {
    if (!claim.verifiedPid && claim.declaredPid) ++declarations[*claim.declaredPid];
  }

  std::set<std::int32_t> taken;
  std::map<std::pair<std::int32_t, std::string>, std::vector<const ClientClaim*>> groups;
  for (const auto& claim : claims) {
    if (claim.verifiedPid) {
      if (claim.capturing) result[claim.client] = {*claim.verifiedPid, Establishment::kVerified};
      continue;
    }
    if (!claim.declaredPid || claim.declaredBinary.empty()) continue;
    const std::int32_t declared = *claim.declaredPid;
    auto found = byPid.find(declared);
    // A sandboxed process running the same program whose inner pid is the declared one
    // makes the declaration ambiguous.
    bool alsoNested = std::any_of(connected.begin(), connected.end(), [&](const ConnectedProcess& process) {
      return nested(process) && process.innermostPid == declared && process.binary == claim.declaredBinary;
    });
    bool onHost = found != byPid.end() && found->second->binary == claim.declaredBinary;
    if (onHost && alsoNested) continue;
    if (onHost && declarations[declared] <= found->second->connections) {
      if (claim.capturing) result[claim.client] = {declared, Establishment::kDeclared};
      taken.insert(declared);
      continue;
    }
    groups[{declared, claim.declaredBinary}].push_back(&claim);
  }

  for (auto& [key, members] : groups) {
    const auto& [declared, binary] = key;
    std::vector<std::int32_t> candidates;
    for (const auto& process : connected) {
      if (nested(process) && process.innermostPid == declared && process.binary == binary &&
          !taken.contains(process.pid)) {
        candidates.push_back(process.pid);
      }
    }
    if (candidates.size() == 1) {
      // One sandboxed process may hold several clients (one that plays, one that records):
      // each capturing member is that process, as long as it holds a connection for every
      // member, so that no other process's claim is pinned on it.
      const auto process = std::find_if(connected.begin(), connected.end(),
                                        [&](const ConnectedProcess& p) { return p.pid == candidates.front(); });
      if (static_cast<int>(members.size()) > process->connections) continue;
      for (const ClientClaim* member : members) {
        if (member->capturing) result[member->client] = {candidates.front(), Establishment::kNamespace};
      }
      continue;
    }
    if (candidates.size() != members.size()) continue;
    // With a member that is not capturing, which of the processes capture cannot be told.
    if (!std::all_of(members.begin(), members.end(), [](const ClientClaim* c) { return c->capturing; })) continue;
    std::sort(candidates.begin(), candidates.end());
    std::sort(members.begin(), members.end(), [](const ClientClaim* a, const ClientClaim* b) { return a->client < b->client; });
    Establishment how = members.size() == 1 ? Establishment::kNamespace : Establishment::kNamespaceGroup;
    for (size_t i = 0; i < members.size(); ++i) result[members[i]->client] = {candidates[i], how};
  }
  return result;
}

std::optional<std::vector<ConnectedProcess>> readConnectedProcesses(const std::string& socketPath) {
  auto sockets = clientSocketInodes(socketPath);
  if (!sockets) return std::nullopt;
  std::vector<ConnectedProcess> processes;
  if (sockets->empty()) return processes;
  DirectoryPtr proc = openDirectory("/proc");
  if (!proc) return std::nullopt;
  while (dirent* entry = ::readdir(proc.get())) {
    auto pid = parseNumber(entry->d_name);
    if (!pid || *pid <= 0) continue;
    int connections = connectionsOf(entry->d_name, *sockets);
    if (connections == 0) continue;
    ConnectedProcess process;
    process.pid = *pid;
    process.innermostPid = innermostPidOf(*pid).value_or(*pid);
    process.binary = fileNameOfExecutable(*pid);
    process.connections = connections;
    processes.push_back(std::move(process));
  }
  std::sort(processes.begin(), processes.end(),
            [](const ConnectedProcess& a, const ConnectedProcess& b) { return a.pid < b.pid; });
  return processes;
}

std::optional<std::string> parseFlatpakInfo(const std::string& text) {
  bool inApplication = false;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line = trimmed(std::string_view(text).substr(at, end - at));
    at = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inApplication = line == "[Application]";
      continue;
    }
    auto equals = line.find('=');
    if (!inApplication || equals == std::string_view::npos || trimmed(line.substr(0, equals)) != "name") continue;
    std::string_view name = trimmed(line.substr(equals + 1));
    if (name.empty() || name.size() > kApplicationIDLimit ||
        !std::all_of(name.begin(), name.end(), isApplicationIDCharacter)) {
      return std::nullopt;
    }
    return std::string(name);
  }
  return std::nullopt;
}

std::optional<std::string> flatpakApplicationID(pid_t pid) {
  std::string rootPath = "/proc/" + std::to_string(pid) + "/root";
  UniqueFd root(::open(rootPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root) return std::nullopt;
  // The file belongs to the sandbox: never followed if it is a link, never waited on if it
  // is a pipe, never read past a small size.
  UniqueFd info(::openat(root.get(), ".flatpak-info", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!info) return std::nullopt;
  struct stat status {};
  if (::fstat(info.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<size_t>(status.st_size) > kFlatpakInfoLimit) {
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  while (text.size() <= kFlatpakInfoLimit) {
    ssize_t got = ::read(info.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  if (text.size() > kFlatpakInfoLimit) return std::nullopt;
  return parseFlatpakInfo(text);
}

}  // namespace mirelo

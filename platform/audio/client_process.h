#pragma once

// Which process on this machine a sound-server client is. A client of the PulseAudio
// protocol declares its own pid ("application.process.id") and program name
// ("application.process.binary"), and any program can declare anything; a client inside a
// sandbox declares its pid in the sandbox's pid namespace (often 2). So a declared pid is
// reported only once it is established from what the kernel says: which processes hold a
// connection to the server's socket, what they run, and their pid in their innermost
// namespace.
//
// The rule, for a client that is capturing input:
//   1. A pid the server itself verified (PipeWire's peer credentials) stands.
//   2. Else the declared pid, when that process holds a connection to the server, runs the
//      declared program, and does not have more clients declaring it than it holds
//      connections (one connection is one client).
//   3. Else, for a process in a pid namespace below ours: the clients that declare the same
//      pid and program form a group, and the connected processes in a nested namespace whose
//      innermost pid and program are those are its candidates. When every client of the
//      group is capturing and there are exactly as many candidates as clients, each
//      candidate is reported once (which client is which cannot be told, so their
//      identifiers come from the processes).
//   4. Anything else cannot be established: the client is left out.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mirelo {

// What the server lists for one client.
struct ClientClaim {
  std::uint32_t client = 0;
  bool capturing = false;
  std::optional<std::int32_t> verifiedPid;
  std::optional<std::int32_t> declaredPid;
  std::string declaredBinary;
};

// A process that holds at least one connection to the server's socket.
struct ConnectedProcess {
  std::int32_t pid = 0;           // in our pid namespace
  std::int32_t innermostPid = 0;  // in its own innermost namespace (== pid when that is ours)
  std::string binary;             // file name of its executable; "" when unreadable
  int connections = 0;            // distinct sockets connected to the server
  bool operator==(const ConnectedProcess&) const = default;
};

// How a capturing client's process was found.
enum class Establishment { kVerified, kDeclared, kNamespace, kNamespaceGroup };

struct EstablishedPid {
  std::int32_t pid = 0;
  Establishment how = Establishment::kVerified;
};

// Applies the rule above to every capturing client in `claims` (which lists every client of
// the server, capturing or not, so that declarations can be counted). Clients that cannot be
// established are absent from the result. `connected` is needed only for declared pids.
std::map<std::uint32_t, EstablishedPid> establishPids(const std::vector<ClientClaim>& claims,
                                                      const std::vector<ConnectedProcess>& connected);

// The processes that hold a connection to the Unix socket bound at `socketPath`, found from
// the peers of the server's sockets (sock_diag) and the socket descriptors under
// /proc/PID/fd. Only processes whose descriptors we may read are seen (for a user: their
// own). Nothing when the kernel cannot be asked.
std::optional<std::vector<ConnectedProcess>> readConnectedProcesses(const std::string& socketPath);

// The application id of the Flatpak sandbox that `pid` runs in ("[Application] name=" of
// /.flatpak-info in the process's root), or nothing when it runs in none or the file cannot
// be read or holds no valid id.
std::optional<std::string> flatpakApplicationID(pid_t pid);

// Reads the application id from the text of a .flatpak-info file, or nothing.
std::optional<std::string> parseFlatpakInfo(const std::string& text);

}  // namespace mirelo

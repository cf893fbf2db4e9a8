#include "platform/audio/client_process.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "platform/unique_fd.h"
#include "testing/test_support.h"

namespace mirelo {
namespace {

// A process on the host (innermost pid == pid) or in a sandbox (innermost pid given).
ConnectedProcess host(std::int32_t pid, const char* binary, int connections = 1) {
  return {pid, pid, binary, connections};
}
ConnectedProcess sandboxed(std::int32_t pid, std::int32_t inner, const char* binary, int connections = 1) {
  return {pid, inner, binary, connections};
}
ClientClaim declaring(std::uint32_t client, std::int32_t pid, const char* binary, bool capturing = true) {
  ClientClaim claim;
  claim.client = client;
  claim.capturing = capturing;
  claim.declaredPid = pid;
  claim.declaredBinary = binary;
  return claim;
}
ClientClaim verified(std::uint32_t client, std::int32_t pid) {
  ClientClaim claim;
  claim.client = client;
  claim.capturing = true;
  claim.verifiedPid = pid;
  claim.declaredPid = 1;  // ignored: the server's word stands
  claim.declaredBinary = "systemd";
  return claim;
}

TEST(EstablishPids, ReportsOnlyProcessesProvenToBeTheClient) {
  using E = Establishment;
  struct Case {
    const char* name;
    std::vector<ClientClaim> claims;
    std::vector<ConnectedProcess> connected;
    std::map<std::uint32_t, std::pair<std::int32_t, E>> expected;
  };
  const Case cases[] = {
      {"a verified pid stands without any connection", {verified(1, 700)}, {}, {{1, {700, E::kVerified}}}},
      {"an honest recorder on the host", {declaring(1, 500, "pacat")}, {host(500, "pacat")}, {{1, {500, E::kDeclared}}}},
      {"a client that is not capturing is not reported",
       {declaring(1, 500, "pacat", false)}, {host(500, "pacat")}, {}},
      {"the declared pid exists but holds no connection", {declaring(1, 1, "systemd")}, {host(500, "pacat")}, {}},
      {"the declared pid does not exist", {declaring(1, 99999, "pacat")}, {host(500, "pacat")}, {}},
      {"the declared pid runs another program", {declaring(1, 500, "systemd")}, {host(500, "pacat")}, {}},
      {"no program declared", {declaring(1, 500, "")}, {host(500, "pacat")}, {}},
      {"the executable could not be read", {declaring(1, 500, "pacat")}, {host(500, "")}, {}},
      {"a liar claiming an idle connected client's pid: more claims than connections",
       {declaring(1, 500, "pacat", false), declaring(2, 500, "pacat")}, {host(500, "pacat"), host(600, "liar")}, {}},
      {"one process with two clients and two connections",
       {declaring(1, 500, "firefox"), declaring(2, 500, "firefox")}, {host(500, "firefox", 2)},
       {{1, {500, E::kDeclared}}, {2, {500, E::kDeclared}}}},
      {"a liar claiming pid 1 beside an honest recorder",
       {declaring(1, 1, "systemd"), declaring(2, 500, "pacat")}, {host(500, "pacat"), host(600, "pacat")},
       {{2, {500, E::kDeclared}}}},
      {"a sandboxed recorder declares its inner pid", {declaring(1, 2, "pacat")},
       {host(500, "pacat"), sandboxed(800, 2, "pacat")}, {{1, {800, E::kNamespace}}}},
      {"inner pid matches but the program does not", {declaring(1, 2, "pacat")}, {sandboxed(800, 2, "pw-cat")}, {}},
      {"a host process is never taken for an inner pid", {declaring(1, 2, "pacat")}, {host(2, "kthreadd")}, {}},
      {"two sandboxes both at inner pid 2, both capturing",
       {declaring(4, 2, "pacat"), declaring(3, 2, "pacat")}, {sandboxed(801, 2, "pacat"), sandboxed(800, 2, "pacat")},
       {{3, {800, E::kNamespaceGroup}}, {4, {801, E::kNamespaceGroup}}}},
      {"two sandboxes, only one capturing: which one cannot be told",
       {declaring(3, 2, "pacat"), declaring(4, 2, "pacat", false)},
       {sandboxed(800, 2, "pacat"), sandboxed(801, 2, "pacat")}, {}},
      {"one sandboxed client but two candidate processes", {declaring(3, 2, "pacat")},
       {sandboxed(800, 2, "pacat"), sandboxed(801, 2, "pacat")}, {}},
      {"two clients but one candidate process", {declaring(3, 2, "pacat"), declaring(4, 2, "pacat")},
       {sandboxed(800, 2, "pacat")}, {}},
      {"one sandboxed process that plays on one connection and records on another",
       {declaring(3, 2, "call"), declaring(4, 2, "call", false)}, {sandboxed(800, 2, "call", 2)},
       {{3, {800, E::kNamespace}}}},
      {"one sandboxed process recording on both of its connections",
       {declaring(3, 2, "call"), declaring(4, 2, "call")}, {sandboxed(800, 2, "call", 2)},
       {{3, {800, E::kNamespace}}, {4, {800, E::kNamespace}}}},
      {"a third claim beyond the sandboxed process's connections",
       {declaring(3, 2, "call"), declaring(4, 2, "call", false), declaring(5, 2, "call")},
       {sandboxed(800, 2, "call", 2)}, {}},
      {"a host pid that a sandboxed process also has inside: ambiguous", {declaring(1, 5, "pacat")},
       {host(5, "pacat"), sandboxed(800, 5, "pacat")}, {}},
      {"a sandboxed process may be named by its host pid", {declaring(1, 800, "pacat")},
       {sandboxed(800, 2, "pacat")}, {{1, {800, E::kDeclared}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto found = establishPids(c.claims, c.connected);
    std::map<std::uint32_t, std::pair<std::int32_t, E>> got;
    for (const auto& [client, established] : found) got[client] = {established.pid, established.how};
    EXPECT_EQ(got, c.expected);
  }
}

TEST(ParseFlatpakInfo, TakesTheApplicationNameOnly) {
  struct Case {
    std::string text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"[Application]\nname=org.example.Call\nruntime=runtime/x\n", "org.example.Call"},
      {"# comment\n[Instance]\nname=not.this\n[Application]\n  name = com.example.Spaced  \r\n", "com.example.Spaced"},
      {"[Runtime]\nname=org.example.Platform\n", std::nullopt},
      {"name=org.example.NoSection\n", std::nullopt},
      {"[Application]\nname=\n", std::nullopt},
      {"[Application]\nname=bad\"quote\n", std::nullopt},
      {"[Application]\nname=with space\n", std::nullopt},
      {"[Application]\nname=" + std::string(256, 'a') + "\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseFlatpakInfo(c.text), c.expected);
  }
}

UniqueFd connectTo(const std::filesystem::path& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
  return fd;
}

TEST(ReadConnectedProcesses, FindsTheProcessesHoldingAConnectionToTheSocket) {
  testing::TempDir dir;
  auto path = dir / "native";
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 8), 0);

  // Two connections of our own, one handed to a child, and one to another socket that
  // must not count.
  UniqueFd first = connectTo(path), second = connectTo(path), forChild = connectTo(path);
  ASSERT_TRUE(first && second && forChild);
  std::vector<UniqueFd> accepted;
  for (int i = 0; i < 3; ++i) accepted.emplace_back(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  auto otherPath = dir / "other";
  UniqueFd otherListener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  std::strncpy(address.sun_path, otherPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(otherListener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(otherListener.get(), 8), 0);
  UniqueFd elsewhere = connectTo(otherPath);
  ASSERT_TRUE(elsewhere);

  testing::SpawnOptions options;
  options.input = forChild.get();
  testing::BackgroundProcess child({"sleep", "30"}, options);
  forChild.reset();

  // Through a link to the folder, as a server string may name it.
  auto link = dir / "link";
  std::filesystem::create_directory_symlink(dir.path(), link);
  for (const auto& named : {path, link / "native"}) {
    SCOPED_TRACE(named);
    auto connected = readConnectedProcesses(named);
    ASSERT_TRUE(connected);
    std::map<std::int32_t, std::pair<std::string, int>> got;
    for (const auto& process : *connected) {
      EXPECT_EQ(process.innermostPid, process.pid);
      got[process.pid] = {process.binary, process.connections};
    }
    std::map<std::int32_t, std::pair<std::string, int>> expected = {
        {::getpid(), {std::filesystem::read_symlink("/proc/self/exe").filename().string(), 2}},
        {child.pid(), {"sleep", 1}}};
    EXPECT_EQ(got, expected);
  }
  EXPECT_EQ(readConnectedProcesses((dir / "nothing-there").string()), std::vector<ConnectedProcess>{});
}

TEST(FlatpakApplicationID, IsNothingOutsideASandbox) {
  if (std::filesystem::exists("/.flatpak-info")) GTEST_SKIP() << "this test itself runs in a Flatpak sandbox";
  EXPECT_EQ(flatpakApplicationID(::getpid()), std::nullopt);
  EXPECT_EQ(flatpakApplicationID(999999999), std::nullopt);
}

}  // namespace
}  // namespace mirelo

#include "update-helper/control/install_request.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

std::string request(const std::string& pid, const std::string& extra = "") {
  return R"({"archive":"/d/u.zip","executable":"/A/Mirelo.app/Contents/MacOS/Mirelo","version":"2.0.0","pid":)" +
         pid + extra + "}";
}

TEST(InstallRequest, PidIsExactlyASigned32BitWholeNumber) {
  const struct {
    std::string pid;
    std::optional<int32_t> decoded;  // nothing: "Invalid update request"
  } cases[] = {
      {"412", 412},          {"0", 0},         {"-1", -1},
      {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
      {"5.0", 5},            {"4.12e2", 412},  {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt}, {"12.5", std::nullopt}, {"1e10", std::nullopt},
      {"18446744073709551615", std::nullopt}, {"\"412\"", std::nullopt}, {"true", std::nullopt},
      {"null", std::nullopt}, {"[412]", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pid);
    if (c.decoded) {
      EXPECT_EQ(decodeInstallRequest(request(c.pid)).pid, *c.decoded);
    } else {
      EXPECT_THROW(decodeInstallRequest(request(c.pid)), InstallFailure);
    }
  }
}

TEST(InstallRequest, MembersAndTheNotedVersion) {
  const InstallRequest plain = decodeInstallRequest(request("7", R"(,"prepared":"/jobs/p","other":[1])"));
  EXPECT_EQ(plain.archive, "/d/u.zip");
  EXPECT_EQ(plain.version, "2.0.0");
  EXPECT_EQ(plain.prepared, "/jobs/p");
  EXPECT_EQ(plain.target(), "/A/Mirelo.app");
  // A "prepared" that is not a string counts as absent.
  EXPECT_EQ(decodeInstallRequest(request("7", R"(,"prepared":3)")).prepared, std::nullopt);

  // The version is noted as soon as the document is an object, even when it is invalid.
  std::optional<std::string> version;
  EXPECT_THROW(decodeInstallRequest(R"({"version":"3.1","pid":1})", &version), InstallFailure);
  EXPECT_EQ(version, "3.1");
  version.reset();
  EXPECT_THROW(decodeInstallRequest(R"([{"version":"3.1"}])", &version), InstallFailure);
  EXPECT_EQ(version, std::nullopt);
  EXPECT_THROW(decodeInstallRequest("{", &version), nlohmann::json::exception);
  EXPECT_EQ(version, std::nullopt);
}

TEST(InstallRequest, ATopLevelThatIsNeitherObjectNorArrayIsNoDocument) {
  // An array is a document, just not a request; a lone value is not a document at all.
  EXPECT_THROW(decodeInstallRequest("[]"), InstallFailure);
  for (const char* text : {"5", "\"x\"", "true", "null"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(decodeInstallRequest(text), nlohmann::json::parse_error);
  }
}

}  // namespace
}  // namespace mirelo

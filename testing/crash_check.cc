// mirelo-crash-check: the on-disk checks of the crash campaign (testing/crash_campaign.py),
// done with the helper's own readers so that "decodable" means what the helper means.
//
//   mirelo-crash-check inventory BUNDLE     prints the bundle's inventory digest
//   mirelo-crash-check record KIND FILE     exit 0 when FILE reads as a KIND record
//                                           (request, claim or prepared), 1 when it does not
//
// Exit 2 for a bad command line or a bundle whose inventory cannot be taken.

#include <cstdio>
#include <exception>
#include <string>

#include "update-helper/install/inventory.h"
#include "update-helper/store/records.h"

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "inventory" && argc == 3) {
    try {
      std::printf("%s\n", mirelo::install::inventory(argv[2]).c_str());
      return 0;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "inventory: %s\n", error.what());
      return 2;
    }
  }
  if (command == "record" && argc == 4) {
    const std::string kind = argv[2];
    if (kind == "request") return mirelo::readRecord<mirelo::PrepareRequest>(argv[3]) ? 0 : 1;
    if (kind == "claim") return mirelo::readRecord<mirelo::StagingClaim>(argv[3]) ? 0 : 1;
    if (kind == "prepared") return mirelo::readRecord<mirelo::PreparedCandidate>(argv[3]) ? 0 : 1;
  }
  std::fprintf(stderr, "usage: mirelo-crash-check inventory BUNDLE | record request|claim|prepared FILE\n");
  return 2;
}

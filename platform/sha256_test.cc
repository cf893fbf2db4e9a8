#include "platform/sha256.h"

#include <gtest/gtest.h>

namespace mirelo {
namespace {

TEST(Sha256Test, DigestsAndTheirHexadecimalText) {
  const unsigned char bytes[] = {0x01, 0xAB};
  EXPECT_EQ(lowerHex(bytes, sizeof bytes), "01ab");
  EXPECT_EQ(lowerHex(bytes, 0), "");
  // The FIPS 180-2 example, whole and fed in pieces.
  EXPECT_EQ(lowerHex(Sha256::of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 pieces;
  pieces.update("a");
  pieces.update("");
  pieces.update("bc");
  EXPECT_EQ(lowerHex(pieces.finish()), lowerHex(Sha256::of("abc")));
}

}  // namespace
}  // namespace mirelo

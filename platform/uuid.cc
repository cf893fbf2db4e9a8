#include "platform/uuid.h"

#include <uuid/uuid.h>

namespace mirelo {

std::string randomUuidText() {
  uuid_t value;
  uuid_generate_random(value);
  char text[37];
  uuid_unparse_upper(value, text);
  return std::string(text, 36);
}

}  // namespace mirelo

#include "update-helper/control/session_view.h"

namespace mirelo {

std::unique_ptr<SessionView> makeSessionView() { return std::make_unique<HeadlessView>(); }

}  // namespace mirelo

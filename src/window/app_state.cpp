#include "window/app_state.h"

namespace pelbrook {

AppState& App = *new AppState;

}  // namespace pelbrook

// The whole screen of an X display, read straight from the server (one GetImage request): a
// loaded machine takes seconds to start an image tool, and a panel shown for a few seconds
// must not pass between two looks. Also saved as `name`.png in the test output.
#pragma once

#include <QImage>

#include <string>

namespace quorvel::testing {

QImage grabScreen(const std::string& display, const std::string& name);

}  // namespace quorvel::testing

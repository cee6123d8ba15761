// SPDX-License-Identifier: MIT
// One visitor from several lambdas, for std::visit.
#pragma once

namespace tarnwick::base {

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};

}  // namespace tarnwick::base

// Parameterised suites whose cases are records with a `name`: a fixture run once for each case,
// with the case's own preparation, each instance named after its case, and a case printed as its
// name.
#pragma once

#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace param_suite {

// `Fixture` run once for each `Case`. A case that has a `prepare` member (a function of the
// fixture's folder `dir`, or null) gets it called after the fixture's own set-up.
template <typename Fixture, typename Case>
class WithCases : public Fixture, public testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        Fixture::SetUp();
        if (this->HasFatalFailure()) {
            return;
        }
        if constexpr (requires(const Case& c) { c.prepare; }) {
            const Case& c = this->GetParam();
            if (c.prepare != nullptr) {
                c.prepare(this->dir);
            }
        }
    }
};

// A case as GoogleTest prints it in its messages: its name. A file of such cases brings it in
// with `using param_suite::PrintTo;` beside them, where the printer looks for it.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

// For INSTANTIATE_TEST_SUITE_P: each instance is named after its case.
inline constexpr auto case_name = [](const auto& info) { return std::string(info.param.name); };

} // namespace param_suite

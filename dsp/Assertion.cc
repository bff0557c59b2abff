#include "dsp/Assertion.h"

#include <utility>

namespace dsp {

AssertionError::AssertionError(std::string source, std::string expression, int line)
    : std::logic_error("Assertion failed: " + expression + ", file " + source + ", line " +
                       std::to_string(line)),
      source_(std::move(source)),
      expression_(std::move(expression)),
      line_(line) {}

}  // namespace dsp

// Programming errors in the equalizer engine (a channel other than left or right, a read outside
// the attached wave data) are reported as an AssertionError naming the source, the failed
// expression and the line, instead of ending the process: the caller is one of the program's own
// threads, which can report the text and carry on.
#pragma once

#include <stdexcept>
#include <string>

namespace dsp {

class AssertionError : public std::logic_error {
 public:
  // what() reads "Assertion failed: <expression>, file <source>, line <line>".
  AssertionError(std::string source, std::string expression, int line);

  const std::string& source() const { return source_; }
  const std::string& expression() const { return expression_; }
  int line() const { return line_; }

 private:
  std::string source_;
  std::string expression_;
  int line_;
};

}  // namespace dsp

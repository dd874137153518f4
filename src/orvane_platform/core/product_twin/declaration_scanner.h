// Finds the attribute declarations of a USD text layer that
//   ^\s*(?:double|int|float|string|bool)\s+([A-Za-z0-9_:]+)\s*=
// matches in multi-line mode, in one pass over text fed in pieces.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::product_twin {

class DeclarationScanner {
  public:
    // Scans `text`, which continues the text scanned so far. Returns how many
    // leading bytes are decided; the rest must be passed again at the start
    // of the next call, with more text after it. With `at_end`, the text is
    // complete and everything is decided.
    std::size_t scan(std::string_view text, bool at_end);

    // Declared names, in the order they appear.
    const std::vector<std::string>& names() const { return names_; }

  private:
    std::vector<std::string> names_;
    bool mid_line_ = false;  // the next text continues a line already decided
};

}  // namespace orvane::product_twin

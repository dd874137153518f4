// Text helpers and the design-intent declaration scan.
#include "native/text.h"

#include <gtest/gtest.h>

#include <string>

#include "core/product_twin/declaration_scanner.h"

namespace {

using orvane::product_twin::DeclarationScanner;

TEST(Text, StripTakesUnicodeSpaceButNothingElse) {
    EXPECT_EQ(orvane::text::strip("\t a b \u3000\n"), "a b");
    EXPECT_EQ(orvane::text::strip("\u00e9 "), "\u00e9");
    EXPECT_EQ(orvane::text::strip(" \u2028 "), "");
}

TEST(Text, SplitKeepsEmptyPieces) {
    const auto pieces = orvane::text::split("a::b:", ':');
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[1], "");
    EXPECT_EQ(pieces[3], "");
}

TEST(Text, EscapeHtmlLeavesNoMarkup) {
    EXPECT_EQ(orvane::text::escape_html("<script>alert(1)</script>"),
              "&lt;script&gt;alert(1)&lt;/script&gt;");
    EXPECT_EQ(orvane::text::escape_html("a=\"1\" & b='2'"), "a=&quot;1&quot; &amp; b=&#39;2&#39;");
    // An entity in the input is text, not markup: its ampersand is escaped too.
    EXPECT_EQ(orvane::text::escape_html("&lt;"), "&amp;lt;");
    EXPECT_EQ(orvane::text::escape_html("r\u00e9sum\u00e9 \u2264 0.26"),
              "r\u00e9sum\u00e9 \u2264 0.26");
    EXPECT_EQ(orvane::text::escape_html(""), "");
}

TEST(Text, ControlCharactersAreC0AndDelete) {
    EXPECT_FALSE(orvane::text::has_control_characters("cd \u00b7 r\u00e9sum\u00e9 <b>"));
    for (std::string_view text : {"a\nb", "\x01", "tab\t", "del\x7f"})
        EXPECT_TRUE(orvane::text::has_control_characters(text)) << text;
}

std::vector<std::string> scan_whole(std::string_view text) {
    DeclarationScanner scanner;
    scanner.scan(text, /*at_end=*/true);
    return scanner.names();
}

// Feeds `text` in pieces of `size` bytes, carrying over what the scanner
// leaves undecided, as the file reader does.
std::vector<std::string> scan_in_pieces(std::string_view text, std::size_t size) {
    DeclarationScanner scanner;
    std::string pending;
    for (std::size_t at = 0; at < text.size(); at += size) {
        pending.append(text.substr(at, size));
        pending.erase(0, scanner.scan(pending, /*at_end=*/false));
    }
    scanner.scan(pending, /*at_end=*/true);
    return scanner.names();
}

TEST(DeclarationScanner, FindsDeclarationsAtLineStarts) {
    const std::string text =
        "#usda 1.0\n"
        "over \"Car\" {\n"
        "    double orvane:product:length = 4.6\n"
        "  custom   string  label=\"x\"\n"
        "    int\tcount\n= 3\n"
        "    float not a declaration = 1\n"
        "double\n  split_name = 2\r"
        "bool flag = true\n}\n";
    const std::vector<std::string> expected = {"orvane:product:length", "count", "split_name",
                                               "flag"};
    EXPECT_EQ(scan_whole(text), expected);
    for (std::size_t size : {1u, 2u, 3u, 7u, 64u}) {
        EXPECT_EQ(scan_in_pieces(text, size), expected) << "pieces of " << size;
    }
}

TEST(DeclarationScanner, MultiByteSpaceCutBetweenPieces) {
    const std::string text = "\u3000double width = 1\n";
    EXPECT_EQ(scan_in_pieces(text, 1), std::vector<std::string>{"width"});
}

}  // namespace

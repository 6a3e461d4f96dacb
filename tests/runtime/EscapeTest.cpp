// Outside text made safe for a terminal that shows the journal.
#include "vantro/runtime/Escape.hpp"

#include <gtest/gtest.h>

using vantro::escapeControls;

TEST(Escape, ControlCharactersAreWrittenOutAndOtherTextIsKept) {
  EXPECT_EQ(escapeControls(""), "");
  EXPECT_EQ(escapeControls("Radio init 21.5 \xC2\xB0"
                           "C \xE2\x82\xAC"),
            "Radio init 21.5 \xC2\xB0"
            "C \xE2\x82\xAC");
  // A colour change, a title change ended by BEL, a cursor move, DEL.
  EXPECT_EQ(escapeControls("\x1b[31mred\x1b]0;owned\x07\r\n\x7f"),
            "\\x1b[31mred\\x1b]0;owned\\x07\\x0d\\x0a\\x7f");
  EXPECT_EQ(escapeControls(std::string("a\0b", 3)), "a\\x00b");
  // C1 controls in UTF-8 (CSI is U+009B), and bytes that are not UTF-8.
  EXPECT_EQ(escapeControls("\xC2\x9B"
                           "2J\xC2\x85\xC2\xA0"),
            "\\u009b2J\\u0085\xC2\xA0");
  EXPECT_EQ(escapeControls("\x9B\xFF\xC3(\xE2\x82"), "\\x9b\\xff\\xc3(\\xe2\\x82");
  EXPECT_EQ(escapeControls("\xC0\xAF\xED\xA0\x80"), "\\xc0\\xaf\\xed\\xa0\\x80");
  // The backslash is doubled, so escaped text never passes for an escape.
  EXPECT_EQ(escapeControls("C:\\x1b"), "C:\\\\x1b");
}

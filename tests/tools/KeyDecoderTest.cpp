// The key decoder: escape sequences whole, split at every byte, and the keys around them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KeyDecoder.h"

namespace {

// One letter per key: U D R L arrows, E Enter, B Backspace, X Escape, anything else the character.
std::string Letters(const std::vector<KeyEvent>& keys)
{
    std::string text;
    for (const KeyEvent& key : keys)
        text += key.kind == KeyEvent::Character ? key.character : "?EBXUDRL"[key.kind];
    return text;
}

}  // namespace

TEST(UnitKeyDecoder, SequencesWholeOrSplitAtEveryByte)
{
    struct Case {
        std::string bytes;
        std::string keys;  // after the bytes and a Flush
    } cases[] = {
        {"\x1b[A\x1b[B\x1b[C\x1b[D", "UDRL"},
        {"\x1bOA\x1bOD", "UL"},                  // application cursor mode
        {"\x1b[1;5C", "R"},                      // a modified arrow is still an arrow
        {"a\x1b[15~b\x1b[2J", "ab"},             // function keys and other sequences are swallowed
        {"\x1b", "X"},                           // a lone ESC waits, then is Escape
        {"\x1bq\x1b\x1b[C", "XqXR"},             // ESC before a key of its own
        {"12\r3\x7f\n", "12E3BE"},
        {"\x1b[1\x1b[C", "R"},                   // a cut-short sequence does not eat what follows
    };
    for (const Case& c : cases) {
        KeyDecoder whole;
        std::vector<KeyEvent> keys = whole.Feed(c.bytes.data(), c.bytes.size());
        for (const KeyEvent& key : whole.Flush())
            keys.push_back(key);
        EXPECT_EQ(Letters(keys), c.keys) << "whole: " << c.bytes.substr(1);

        KeyDecoder split;
        keys.clear();
        for (char byte : c.bytes)
            for (const KeyEvent& key : split.Feed(&byte, 1))
                keys.push_back(key);
        for (const KeyEvent& key : split.Flush())
            keys.push_back(key);
        EXPECT_EQ(Letters(keys), c.keys) << "split: " << c.bytes.substr(1);
        EXPECT_FALSE(split.Pending());
    }
}

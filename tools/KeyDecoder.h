#pragma once

#include <cstddef>
#include <string>
#include <vector>

/// One key the person at the terminal pressed.
struct KeyEvent
{
    /// Which key; Character keys carry their byte.
    enum Kind
    {
        Character,
        Enter,
        Backspace,
        Escape,
        Up,
        Down,
        Right,
        Left
    };
    /// Which key.
    Kind kind;
    /// The byte of a Character key; 0 for the others.
    char character;
};

/// Turns the bytes a terminal in raw mode sends into key events. The arrow keys come as escape
/// sequences (ESC [ A, or ESC O A in application cursor mode, possibly with parameters such as
/// ESC [ 1 ; 5 A for a modified arrow), and a sequence may be split across reads: its start waits
/// for the rest. Other escape sequences (function keys, ...) are swallowed whole.
class KeyDecoder
{
public:
    /// Decodes count more bytes; returns the keys they complete, in order.
    std::vector<KeyEvent> Feed(const char* bytes, std::size_t count);
    /// True while the start of an escape sequence waits for the rest.
    bool Pending() const;
    /// Ends a waiting sequence because nothing followed soon: a lone ESC is the Escape key, the
    /// start of a longer sequence is dropped.
    std::vector<KeyEvent> Flush();

private:
    /// Decodes the one byte that follows what is in sequence, adding any key it completes to keys.
    void Step(char byte, std::vector<KeyEvent>& keys);

    /// The escape sequence read so far; empty between keys.
    std::string sequence;
};

// Result lines written and flushed whole, or held back until a commit.
#include "util/output_lines.hh"

#include "util/text_codes.hh"

#include <cerrno>
#include <iostream>

namespace {

int firstOutputError = 0;
bool holding = false;  // lines go to held until they are released

// Past this many bytes held, heldOutputFull() says so; room for twice as
// many is had at once.
constexpr std::size_t HELD_BOUND = std::size_t{1} << 20;

std::string& held()
{
    static std::string lines;
    return lines;
}

void write(std::string_view text)
{
    std::streambuf& out = *std::cout.rdbuf();
    const auto size = static_cast<std::streamsize>(text.size());
    errno = 0;
    if (out.sputn(text.data(), size) != size || out.pubsync() == -1) {
        firstOutputError = errno != 0 ? errno : EIO;
    }
}

}  // namespace

bool detail::controlBytesShown = false;

void detail::appendShown(std::string& line, std::string_view text)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    const auto escape = [&line](unsigned char byte) {
        const char code[] = {'\\', 'x', HEX[byte >> 4], HEX[byte & 0xF]};
        line.append(code, sizeof code);
    };
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        if (byte < 0x20 || byte == 0x7F) {
            escape(byte);
            text.remove_prefix(1);
            continue;
        }
        if (byte < 0x80) {
            line += text[0];
            text.remove_prefix(1);
            continue;
        }
        char32_t code = 0;
        const std::size_t length = utf8Character(text, code);
        if (length == 0) {
            // Not UTF-8: a terminal of eight-bit characters takes a byte of
            // the C1 range for a control, and any other for a letter.
            if (byte < 0xA0) {
                escape(byte);
            } else {
                line += text[0];
            }
            text.remove_prefix(1);
            continue;
        }
        for (std::size_t i = 0; i < length; ++i) {
            if (code >= 0x80 && code < 0xA0) {
                escape(static_cast<unsigned char>(text[i]));
            } else {
                line += text[i];
            }
        }
        text.remove_prefix(length);
    }
}

void showControlBytes()
{
    detail::controlBytesShown = true;
}

bool controlBytesShownAtTerminal()
{
    return detail::controlBytesShown;
}

std::string shownText(std::string_view text)
{
    std::string shown;
    detail::appendShown(shown, text);
    return shown;
}

std::string& detail::lineBuffer()
{
    static std::string line;
    return line;
}

void printFlushed(std::string_view text)
{
    if (firstOutputError != 0) {
        return;  // the lines after a lost one would mislead
    }
    if (holding) {
        held().append(text);
        return;
    }
    write(text);
}

void holdOutput()
{
    held().reserve(2 * HELD_BOUND);
    holding = true;
}

bool releaseOutput()
{
    if (firstOutputError == 0 && !held().empty()) {
        write(held());
    }
    held().clear();
    return firstOutputError == 0;
}

void discardHeldOutput()
{
    held().clear();
}

std::string takeHeldOutput()
{
    std::string lines = held();
    held().clear();
    return lines;
}

int outputError()
{
    return firstOutputError;
}

bool heldOutputFull()
{
    return held().size() > HELD_BOUND;
}

#include "engine/conf_parser.h"

#include <cctype>
#include <cstdio>

#include <boost/algorithm/string/trim.hpp>

#include "engine/utils.h"

namespace {

bool isGraph(unsigned char c) { return std::isgraph(c) != 0; }
bool isCommentStart(unsigned char c) { return c == '#' || c == ';'; }
bool isQuote(unsigned char c) { return c == '"' || c == '\''; }

}  // namespace

conf_parser_t::conf_parser_t(const std::string& fileName) : m_fileName(fileName) {
    std::string text;
    switch (Utils::readRegularFile(fileName, text)) {
        case Utils::FILE_READ:
            m_stream.str(text);
            return;
        case Utils::FILE_NOT_REGULAR:
            throw conf_store_exception_t("config file \"" + fileName + "\" is not a regular file.");
        default:
            throw conf_store_exception_t("config file \"" + fileName + "\" not found.");
    }
}

conf_parser_t::~conf_parser_t() = default;

// Comment lines (a "#" or ";" in the first column) are dropped here
// entirely: the newline that ends them becomes the current character.
void conf_parser_t::next_char() {
    m_prev = m_ch;
    char c;
    m_took = static_cast<bool>(m_stream.get(c));
    if (!m_took) return;
    m_ch = static_cast<unsigned char>(c);
    if (m_ch == '\n') ++m_line;
    if (isCommentStart(m_ch) && m_prev == '\n') {
        while (m_stream.get(c)) {
            if (c == '\n') {
                ++m_line;
                break;
            }
        }
        m_took = false;  // the comment cannot be stepped back over
        m_prev = '\n';
        m_ch = '\n';
    }
}

void conf_parser_t::unget() {
    if (m_took) {
        m_stream.unget();
        // The newline is counted again when it is read again.
        if (m_ch == '\n') --m_line;
        m_took = false;
    }
    m_ch = m_prev;
}

void conf_parser_t::skip_spaces() {
    for (;;) {
        while (!at_end() && !isGraph(m_ch)) next_char();
        if (at_end() || !isCommentStart(m_ch)) return;
        skip_line();
    }
}

void conf_parser_t::skip_comment() {
    if (!at_end() && isCommentStart(m_ch)) skip_line();
}

void conf_parser_t::skip_line() {
    while (!at_end() && m_ch != '\n') next_char();
}

std::string conf_parser_t::read_word() {
    skip_spaces();
    std::string word;
    while (!at_end() && isGraph(m_ch) && m_ch != ']' && m_ch != '=') {
        word += static_cast<char>(m_ch);
        next_char();
    }
    return word;
}

bool conf_parser_t::read_name(std::string& name) {
    skip_spaces();
    if (at_end() || m_ch != '[') {
        name += read_word();
        return false;
    }
    next_char();
    name += read_word();
    skip_spaces();
    if (!at_end() && m_ch == ']') {
        next_char();
        return true;
    }
    parse_error("param \"" + name + "\" is not group");
    skip_line();
    return false;
}

int conf_parser_t::read_char() {
    if (m_ch != '\\') return m_ch;
    next_char();
    if (at_end()) return -1;
    if (m_ch == '\n') {
        // Line continuation: the break and the blanks (and blank or comment
        // lines) that follow it become one blank.
        next_char();
        skip_spaces();
        unget();
        return ' ';
    }
    return m_ch;
}

std::string conf_parser_t::read_item() {
    std::string text;
    unsigned char quote = 0;
    while (!at_end() && m_ch != '\n' && m_ch != ',') {
        const int c = read_char();
        if (c >= 0) text += static_cast<char>(c);
        if (!at_end() && isQuote(m_ch)) {
            if (quote == 0)
                quote = m_ch;
            else if (quote == m_ch)
                quote = 0;
        }
        next_char();
        if (quote == 0) skip_comment();
    }
    boost::algorithm::trim(text);
    if (text.size() > 2 && isQuote(static_cast<unsigned char>(text.front())) && text.back() == text.front())
        text = text.substr(1, text.size() - 2);
    return text;
}

void conf_parser_t::read_value_to(std::string& value) {
    // One item per turn: a list of any length is read in constant stack.
    for (;;) {
        while (!at_end() && !isGraph(m_ch) && m_ch != '\n') next_char();
        skip_comment();
        if (at_end() || m_ch == '\n') return;
        value += read_item();
        skip_spaces();
        if (at_end() || m_ch != ',') return;
        value += ',';
        next_char();
    }
}

std::string conf_parser_t::read_value() {
    std::string value;
    read_value_to(value);
    return value;
}

void conf_parser_t::load(conf_store_t& store) {
    while (!at_end()) {
        skip_spaces();
        std::string name;
        if (read_name(name)) {
            m_group = name;
            continue;
        }
        if (name.empty()) {
            next_char();
            continue;
        }
        const int line = m_line;
        skip_spaces();
        if (at_end() || m_ch != '=') {
            next_char();
            unget();
            char message[512];
            std::snprintf(message, sizeof message, "error separator: prm=%s", name.c_str());
            parse_error(message, line);
            skip_line();
            continue;
        }
        next_char();
        const std::string value = read_value();
        const std::string key = m_group.empty() ? name : m_group + "/" + name;
        try {
            conf_store_add(store, key, value);
        } catch (const std::exception&) {
            parse_error("error save param \"" + key + "\"");
        }
    }
}

void conf_parser_t::parse_error(const std::string& message, int line) {
    conf_store_warning("cannot parse config file \"" + m_fileName + "\", line " +
                       std::to_string(line < 0 ? m_line : line) + ", " + message);
}

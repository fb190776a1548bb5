#include "engine/start_app_config.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "base/app_log.h"
#include "engine/app_store.h"
#include "engine/application.h"
#include "engine/component.h"
#include "engine/utils.h"

namespace {

// The keyword texts by token kind; the table of the lexer is built from it.
const char* const kKeywordNames[] = {
    "RUNAPP", "RECOVERYTIME", "APPLICATION", "ENDAPPLICATION", "FULLNAME", "PATH",    "DEPENDS",
    "COMPONENTS", "LOG",      "MAIL",        "ENDCOMPONENTS",  "ID",       "CONFFILE", "INIFILE",
};
const int kFirstKeyword = StartAppConfig::TOKEN_RUNAPP;
const int kLastKeyword = StartAppConfig::TOKEN_INIFILE;

// The character classes, for bytes only: the end of input is no class.
bool isSpace(int c) { return c >= 0 && std::isspace(c) != 0; }
bool isAlpha(int c) { return c >= 0 && std::isalpha(c) != 0; }
bool isDigit(int c) { return c >= 0 && std::isdigit(c) != 0; }
bool isAlnum(int c) { return c >= 0 && std::isalnum(c) != 0; }
bool isGraph(int c) { return c >= 0 && std::isgraph(c) != 0; }

// The character that an escaped one stands for inside a quoted string.
int unescape(int c) {
    switch (c) {
    case 'n':
    case '\n':
        return '\n';
    case 'b':
        return '\b';
    case 't':
        return '\t';
    default:
        return c;
    }
}

}  // namespace

// --- Lexer -----------------------------------------------------------------

StartAppConfig::Lexer::Lexer(const std::string& path) : m_fileName(path) {
    std::string text;
    const Utils::FileRead read = Utils::readRegularFile(path, text);
    if (read == Utils::FILE_NOT_REGULAR) throw LexerError("file \"" + path + "\" is not a regular file");
    if (read != Utils::FILE_READ) throw LexerError("file \"" + path + "\" not found");
    m_stream.str(text);
    // The counter is set before the first read, so that a newline in the
    // first character counts like any other.
    m_line = 1;
    m_prevChar = ' ';
    nextChar();
    for (int kind = kFirstKeyword; kind <= kLastKeyword; ++kind)
        m_keywords[kKeywordNames[kind - kFirstKeyword]] = kind;
}

void StartAppConfig::Lexer::nextChar() {
    m_prevChar = m_char;
    const std::istringstream::int_type c = m_stream.get();
    if (c == std::istringstream::traits_type::eof()) {
        m_char = kEndOfInput;
        return;
    }
    m_char = static_cast<unsigned char>(std::istringstream::traits_type::to_char_type(c));
    if (m_char == '\n') ++m_line;
}

void StartAppConfig::Lexer::noteNul() {
    if (m_char == 0 && m_nulLine == 0) m_nulLine = m_line;
}

void StartAppConfig::Lexer::append(int c) {
    // Long texts are kept whole: a cut argument list or path would start
    // another program than the one written.
    if (m_text.size() == kLongText && !m_warnedLong) {
        m_warnedLong = true;
        error(" string \"" + m_text + "\" too long");
    }
    m_text += static_cast<char>(c);
}

int StartAppConfig::Lexer::nextToken() {
    m_token = TOKEN_OTHER;
    m_text.clear();
    m_number = 0;
    m_warnedLong = false;
    m_nulLine = 0;
    for (;;) {
        while (isSpace(m_char) && m_char != '\n') nextChar();
        if (m_char == '#')
            while (m_char != '\n' && m_char != kEndOfInput) nextChar();

        if (m_char == '"') {
            readString();
            return m_token;
        }
        if (isAlpha(m_char) || m_char == '/' || m_char == ':' || m_char == '_') {
            readWord();
            return m_token;
        }
        if (isDigit(m_char)) {
            readNumber();
            return m_token;
        }

        noteNul();
        const int c = m_char;
        nextChar();
        if (c == '\\' && m_char == '\n') {  // line continuation
            nextChar();
            continue;
        }
        switch (c) {
        case '\n':
            m_token = TOKEN_EOL;
            break;
        case kEndOfInput:
            m_token = TOKEN_END;
            break;
        case ',':
            m_token = TOKEN_COMMA;
            break;
        case '-':
            m_token = TOKEN_WORD;
            break;
        default:
            m_token = TOKEN_OTHER;
            break;
        }
        return m_token;
    }
}

// A string may span lines and ends at the next double quote, escaped or
// not. A backslash is dropped; the character after it is translated.
void StartAppConfig::Lexer::readString() {
    nextChar();
    while (m_char != '"' && m_char != kEndOfInput) {
        noteNul();
        if (m_prevChar == '\\')
            append(unescape(m_char));
        else if (m_char != '\\')
            append(m_char);
        nextChar();
    }
    if (m_char == kEndOfInput)
        error("parse error at end of input");
    else
        nextChar();
    m_token = TOKEN_STRING;
}

void StartAppConfig::Lexer::readWord() {
    // A NUL byte does not end a word: the word with it is refused whole.
    while ((isGraph(m_char) || m_char == 0) && m_char != ',' && m_char != '\\') {
        noteNul();
        append(m_char);
        nextChar();
    }
    std::string upper(m_text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto keyword = m_keywords.find(upper);
    m_token = keyword == m_keywords.end() ? TOKEN_WORD : keyword->second;
}

// Digits followed directly by letters ("1e") make one token that is no
// number, so that a mistyped value is refused rather than misread.
void StartAppConfig::Lexer::readNumber() {
    uint64_t value = 0;
    bool big = false;
    bool letters = false;
    do {
        m_text += static_cast<char>(m_char);
        if (!isDigit(m_char)) {
            letters = true;
        } else if (!big) {
            value = value * 10 + static_cast<unsigned>(m_char - '0');
            if (value > kMaxNumber) {
                error("integer value is big");
                big = true;
                value = kMaxNumber;
            }
        }
        nextChar();
    } while (isAlnum(m_char));
    m_number = static_cast<uint32_t>(value);
    m_token = letters ? TOKEN_OTHER : TOKEN_NUMBER;
}

uint32_t StartAppConfig::Lexer::getNumber() const {
    if (m_token != TOKEN_NUMBER) throw LexerError("getNumber error");
    return m_number;
}

const std::string& StartAppConfig::Lexer::getString() const {
    if (m_token != TOKEN_WORD && m_token != TOKEN_STRING) throw LexerError("getString() error");
    return m_text;
}

std::string StartAppConfig::Lexer::tokenText() const {
    if (m_token == TOKEN_NUMBER) return "number " + std::to_string(m_number);
    if (m_token == TOKEN_COMMA) return "','";
    if (m_token >= kFirstKeyword && m_token <= kLastKeyword)
        return std::string("keyword '") + kKeywordNames[m_token - kFirstKeyword] + "'";
    if (m_token == TOKEN_WORD || m_token == TOKEN_STRING) return "string '" + m_text + "'";
    return "unknown";
}

// A token that ends a line leaves the newline as the current character,
// which has already counted the next line: that token belongs to the
// line before.
int StartAppConfig::Lexer::line() const { return m_char == '\n' ? m_line - 1 : m_line; }

std::string StartAppConfig::Lexer::position(bool withLine) const {
    if (withLine) return positionAt(line());
    char text[1024];
    std::snprintf(text, sizeof text, "config file \"%s\"", m_fileName.c_str());
    return text;
}

std::string StartAppConfig::Lexer::positionAt(int line) const {
    char text[1024];
    std::snprintf(text, sizeof text, "config file \"%s\":%d", m_fileName.c_str(), line);
    return text;
}

void StartAppConfig::Lexer::error(const std::string& message) const { logWarn(position() + ": " + message); }

std::string StartAppConfig::Lexer::dump(const std::string& path, bool print) {
    Lexer lexer(path);
    std::string result;
    int kind;
    do {
        kind = lexer.nextToken();
        std::string line;
        if (kind == TOKEN_WORD || kind == TOKEN_STRING)
            line = "\nSTRING(" + std::to_string(kind) + ") = " + lexer.m_text;
        else if (kind == TOKEN_NUMBER)
            line = "\nDIG = " + std::to_string(lexer.m_number);
        else
            line = "\n" + std::to_string(kind);
        if (print) std::printf("%s", line.c_str());
        result += line;
    } while (kind != TOKEN_END);
    return result;
}

// --- Parser ----------------------------------------------------------------

StartAppConfig::StartAppConfig(const std::string& path) : m_lexer(path) {}

void StartAppConfig::next() {
    m_token = m_lexer.nextToken();
    if (m_lexer.nulLine())
        errorAt(m_lexer.nulLine(),
                std::string("NUL byte in ") +
                    (m_token == TOKEN_STRING ? "a string" : m_token == TOKEN_OTHER ? "the text" : "a word"),
                true);
}

void StartAppConfig::syntaxError(const std::string& message) { errorAt(m_lexer.line(), message, false); }

void StartAppConfig::errorAt(int line, const std::string& message, bool nul) {
    m_syntaxError = true;
    if (line == m_nulLine) return;
    if (nul) {
        m_nulLine = line;
        if (line == m_errorLine) return;  // the line has its record already
    }
    m_errorLine = line;
    logError(m_lexer.positionAt(line) + ":" + message);
}

void StartAppConfig::skipLine() {
    while (!atLineEnd()) next();
}

void StartAppConfig::skipEmptyLines() {
    while (m_token == TOKEN_EOL) next();
}

bool StartAppConfig::parse(AppStore& store) {
    next();
    while (m_token != TOKEN_END) {
        if (m_token == TOKEN_EOL) {
            next();
        } else if (m_token == TOKEN_APPLICATION) {
            parseApplication(store);
        } else {
            syntaxError("unknown section: " + m_lexer.tokenText());
            skipLine();
        }
    }
    return !m_syntaxError;
}

bool StartAppConfig::parseApplication(AppStore& store) {
    // The store hands its monitor to the applications it is given later
    // (AppStore::setMonitor).
    Application application(nullptr);
    next();
    if (atString() && !m_lexer.getString().empty()) {
        application.setName(m_lexer.getString());
        next();
        if (!atLineEnd()) syntaxError("invalid syntax: application name must bee without spaces");
    } else {
        syntaxError("invalid application name");
    }
    skipLine();
    skipEmptyLines();

    while (m_token != TOKEN_ENDAPPLICATION && m_token != TOKEN_END) {
        parseParameter(application);
        skipLine();
        skipEmptyLines();
    }
    if (m_token == TOKEN_ENDAPPLICATION) next();

    // A section is offered to the store even when its name was invalid.
    if (!store.addApp(application)) {
        syntaxError("dublicate application \"" + application.getName() +
                    "\". Possible there is unnecessary *.mmc file");
        return false;
    }
    return true;
}

void StartAppConfig::parseParameter(Application& application) {
    switch (m_token) {
    case TOKEN_FULLNAME:
    case TOKEN_PATH: {
        const int parameter = m_token;
        next();
        if (!atString()) {
            syntaxError("parameter value error");
            return;
        }
        if (parameter == TOKEN_FULLNAME)
            application.setFullName(m_lexer.getString());
        else
            application.setPath(m_lexer.getString());
        return;
    }
    case TOKEN_DEPENDS:
        parseDepends(application);
        return;
    case TOKEN_COMPONENTS:
        parseComponents(application);
        return;
    default:
        syntaxError("unknown application parameter: " + m_lexer.tokenText());
        return;
    }
}

// Names separated by blanks or commas; a leading or trailing comma passes.
void StartAppConfig::parseDepends(Application& application) {
    bool afterComma = false;
    for (next(); !atLineEnd(); next()) {
        if (atString()) {
            application.addDepend(m_lexer.getString());
            afterComma = false;
        } else if (m_token == TOKEN_COMMA) {
            if (afterComma) syntaxError("one too many ','");
            afterComma = true;
        } else {
            syntaxError("invalid syntax near unexpected token " + m_lexer.tokenText());
            afterComma = false;
        }
    }
}

// Every line up to ENDCOMPONENTS is a component line, whatever its first
// token; the rest of a line after its last field is ignored.
void StartAppConfig::parseComponents(Application& application) {
    next();
    while (m_token != TOKEN_ENDCOMPONENTS && m_token != TOKEN_END) {
        if (m_token == TOKEN_EOL) {
            next();
            continue;
        }
        parseComponent(application);
        skipLine();
    }
}

// <name> <argv> <TimeStart> <TimeStop> <LogType> <User>; a line with a
// missing or wrong field is dropped, except for a wrong LogType, which
// keeps its default.
void StartAppConfig::parseComponent(Application& application) {
    if (!atString() || m_lexer.getString().empty()) {
        syntaxError("error component name " + m_lexer.tokenText());
        return;
    }
    Component component(m_lexer.getString(), application.isAgent());

    next();
    if (!atString()) {
        syntaxError("error component parametr argv ");
        return;
    }
    component.setArgv(m_lexer.getString());

    next();
    if (m_token != TOKEN_NUMBER) {
        syntaxError("error component parametr TimeStart ");
        return;
    }
    component.setTimeStart(static_cast<int>(m_lexer.getNumber()));

    next();
    if (m_token != TOKEN_NUMBER) {
        syntaxError("error component parametr TimeStop ");
        return;
    }
    component.setTimeStop(static_cast<int>(m_lexer.getNumber()));

    next();
    if (m_token == TOKEN_LOG) {
        component.setLogType(1);
        component.setInformerCommand("");
    } else if (m_token == TOKEN_MAIL) {
        component.setLogType(2);
        component.setInformerCommand("");
    } else if (atString()) {
        component.setLogType(3);
        component.setInformerCommand(m_lexer.getString());
    } else {
        syntaxError("error component parametr LogType");
    }
    // A line that ended in place of the LogType does not run on into the
    // next line: the User field then finds the line's end.
    if (!atLineEnd()) next();

    if (!atString()) {
        syntaxError("error component parametr User");
        return;
    }
    const std::string& user = m_lexer.getString();
    std::vector<std::string> parts;
    Utils::split(user.c_str(), ":", parts);
    // The splitter drops a leading ":"; ":group" names a group alone.
    if (!user.empty() && user[0] == ':') parts.insert(parts.begin(), std::string());
    if (parts.size() > 2) {
        syntaxError("error component parametr User. Use USER:GROUP");
        return;
    }
    component.setUser(parts.size() > 0 ? parts[0] : std::string());
    component.setGroup(parts.size() > 1 ? parts[1] : std::string());

    application.addComponent(component);
}

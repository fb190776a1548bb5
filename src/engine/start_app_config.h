// Reader of one meta-configuration file (*.mmc): a lexer that turns the
// file into tokens and a parser that turns each APPLICATION section into
// an Application with its Components and adds it to a store.
//
//   APPLICATION <name>
//       FULLNAME <text>
//       PATH <directory>
//       DEPENDS <name> [,] <name> ...
//       COMPONENTS
//           <name> <argv> <TimeStart> <TimeStop> LOG|MAIL|<command> <user[:group]>|-
//       ENDCOMPONENTS
//   ENDAPPLICATION
//
// Lexical errors are logged as warnings and reading goes on; syntax errors
// are logged as errors, reading goes on and parse() reports false.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

class AppStore;
class Application;

class StartAppConfig {
public:
    class LexerError : public std::runtime_error {
    public:
        explicit LexerError(const std::string& message) : std::runtime_error(message) {}
    };

    enum TokenKind {
        TOKEN_OTHER = 0,         // a character that starts no other token
        TOKEN_EOL = 1,           // a newline
        TOKEN_END = 2,           // the end of the file
        TOKEN_COMMA = 3,         // ","
        TOKEN_WORD = 4,          // an unquoted word that is no keyword; also a lone "-"
        TOKEN_STRING = 5,        // text between double quotes
        TOKEN_NUMBER = 6,        // decimal digits
        TOKEN_RUNAPP = 7,        // keywords, in any case; RUNAPP, RECOVERYTIME,
        TOKEN_RECOVERYTIME = 8,  // ID, CONFFILE and INIFILE are reserved words
        TOKEN_APPLICATION = 9,   // that no rule accepts
        TOKEN_ENDAPPLICATION = 10,
        TOKEN_FULLNAME = 11,
        TOKEN_PATH = 12,
        TOKEN_DEPENDS = 13,
        TOKEN_COMPONENTS = 14,
        TOKEN_LOG = 15,
        TOKEN_MAIL = 16,
        TOKEN_ENDCOMPONENTS = 17,
        TOKEN_ID = 18,
        TOKEN_CONFFILE = 19,
        TOKEN_INIFILE = 20,
    };

    class Lexer {
    public:
        // Characters are bytes 0..255; the end of the file is a value of
        // its own, so a 0xFF byte in the file is data.
        static constexpr int kEndOfInput = -1;
        // Texts longer than this are warned about (and kept whole).
        static constexpr size_t kLongText = 256;
        // Numbers stop growing here.
        static constexpr uint32_t kMaxNumber = 2147483647;

        // Throws LexerError "file "<path>" not found", or "file "<path>"
        // is not a regular file" for a FIFO, a device or the like.
        explicit Lexer(const std::string& path);
        Lexer(const Lexer&) = delete;
        Lexer& operator=(const Lexer&) = delete;

        int nextToken();
        int token() const { return m_token; }
        // Throw LexerError when the current token is not of their kind.
        uint32_t getNumber() const;
        const std::string& getString() const;
        // The current token as messages describe it: "number 5", "','",
        // "keyword 'LOG'", "string 'abc'" or "unknown".
        std::string tokenText() const;
        // "config file "<file>":<line>", or without the line.
        std::string position(bool withLine = true) const;
        // The line the current token belongs to.
        int line() const;
        std::string positionAt(int line) const;
        // The line of the first NUL byte in the current token, 0 for none.
        // Such a token is a syntax error: the text after the NUL would be
        // lost wherever the token is used as a C string.
        int nulLine() const { return m_nulLine; }
        // Logs a lexical error (a warning): position + ": " + message.
        void error(const std::string& message) const;

        // One line per token of the whole file, up to and including the
        // end of input; each line is also printed when print is set.
        static std::string dump(const std::string& path, bool print);

    private:
        void nextChar();
        void readString();
        void readWord();
        void readNumber();
        void append(int c);
        void noteNul();

        std::map<std::string, int> m_keywords;
        std::istringstream m_stream;  // the whole file
        std::string m_fileName;
        int m_token = TOKEN_OTHER;
        uint32_t m_number = 0;
        std::string m_text;
        int m_char = kEndOfInput;
        int m_prevChar = ' ';
        int m_line = 1;
        bool m_warnedLong = false;
        int m_nulLine = 0;
    };

    // Throws LexerError "file "<path>" not found".
    explicit StartAppConfig(const std::string& path);
    StartAppConfig(const StartAppConfig&) = delete;
    StartAppConfig& operator=(const StartAppConfig&) = delete;

    // Reads the whole file and adds every application read to the store;
    // false when a syntax error was reported.
    bool parse(AppStore& store);

private:
    bool parseApplication(AppStore& store);
    void parseParameter(Application& application);
    void parseDepends(Application& application);
    void parseComponents(Application& application);
    void parseComponent(Application& application);
    // An error record at the current line. A line with a NUL byte gives
    // one record in all (the first of the line), however many bytes and
    // tokens follow: a line of NUL bytes costs one record, not one per byte.
    void syntaxError(const std::string& message);
    void errorAt(int line, const std::string& message, bool nul);
    void next();
    bool atString() const { return m_token == TOKEN_WORD || m_token == TOKEN_STRING; }
    bool atLineEnd() const { return m_token == TOKEN_EOL || m_token == TOKEN_END; }
    void skipLine();
    void skipEmptyLines();

    Lexer m_lexer;
    int m_token = TOKEN_OTHER;
    bool m_syntaxError = false;
    int m_errorLine = 0;  // the line of the last error record
    int m_nulLine = 0;    // the last line found to hold a NUL byte
};

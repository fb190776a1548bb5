// Reader of monitor.conf: an ini-like file of groups ("[Monitor]") and
// parameters ("Name = value"), scanned character by character, and the
// typed readers through which the settings take their values.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

class conf_store_exception_t : public std::logic_error {
public:
    explicit conf_store_exception_t(const std::string& message) : std::logic_error(message) {}
};

// Parameter name to value text, and group name to parameters. Names keep
// their case; the readers compare them without regard to case.
typedef std::map<std::string, std::string> conf_group_t;
typedef std::map<std::string, conf_group_t> conf_store_t;

class conf_parser_t {
public:
    // Throws conf_store_exception_t when the file cannot be opened or read,
    // or is not a regular file.
    explicit conf_parser_t(const std::string& fileName);

    // A group header ("[name]", result true) or a parameter name.
    virtual bool read_name(std::string& name);
    // Appends the value that starts at the current character; a value
    // continues past a line end when the next line begins with ",".
    virtual void read_value_to(std::string& value);
    virtual std::string read_value();
    virtual ~conf_parser_t();
    // Reads the whole file into the store. Syntax errors are reported as
    // warnings and the reading goes on with the next construct.
    virtual void load(conf_store_t& store);

    conf_parser_t(const conf_parser_t&) = delete;
    conf_parser_t& operator=(const conf_parser_t&) = delete;

protected:
    // True once a read of the stream has failed (end of file or a read
    // error); the current character is then the last one read.
    bool at_end() const { return !m_stream.good(); }
    void next_char();
    void unget();
    void skip_spaces();
    void skip_comment();
    void skip_line();
    std::string read_word();
    std::string read_item();
    // The character an item takes for the current one (escapes resolved);
    // -1 when a backslash ends the file.
    int read_char();
    // line < 0: the current line.
    void parse_error(const std::string& message, int line = -1);

    unsigned char m_ch = '\n';
    unsigned char m_prev = '\n';
    std::string m_group;
    int m_line = 1;
    std::string m_fileName;
    std::istringstream m_stream;  // the whole file
    // The last next_char took a character from the stream (so unget may
    // step back over it).
    bool m_took = false;
};

void conf_store_add(conf_store_t& store, const std::string& path, const std::string& value);
// "group/name", "/group/name" or "name": one or two parts.
std::vector<std::string> conf_store_split_path(const std::string& path);

std::string conf_store_get_str(const conf_store_t& store, const std::string& path);
std::string conf_store_get_dir(const conf_store_t& store, const std::string& path);
bool conf_store_get_bool(const conf_store_t& store, const std::string& path);
int conf_store_get_int(const conf_store_t& store, const std::string& path);

std::string conf_store_get_str_def(const conf_store_t& store, const std::string& path, const std::string& def);
std::string conf_store_get_dir_def(const conf_store_t& store, const std::string& path, const std::string& def);
bool conf_store_get_bool_def(const conf_store_t& store, const std::string& path, bool def);
int conf_store_get_int_range_def(const conf_store_t& store, const std::string& path, int minimum, int maximum,
                                 int def);
int conf_store_get_uint_def(const conf_store_t& store, const std::string& path, int def);

// The list readers append the comma-separated items of the value, empty
// items dropped; they throw when the parameter is absent.
void conf_store_get_str_vector(const conf_store_t& store, const std::string& path, std::vector<std::string>& items);
void conf_store_get_str_list(const conf_store_t& store, const std::string& path, std::list<std::string>& items);
// Replaces the vector's content with the items as integers.
void conf_store_get_int_list(const conf_store_t& store, const std::string& path, std::vector<int>& items);
void conf_store_get_str_vector_def(const conf_store_t& store, const std::string& path,
                                   std::vector<std::string>& items, const std::string& def);
void conf_store_split_list(const std::string& value, std::vector<std::string>& items);

// "[http://]host[/path]". False, with host and URL path empty, for an
// empty value; throws for a malformed one.
bool conf_store_get_http_url(const conf_store_t& store, const std::string& path, const std::string& def,
                             std::string& host, std::string& urlPath);
void conf_store_split_url(const std::string& url, std::string& scheme, std::string& host, std::string& urlPath);

conf_group_t conf_store_get_group(const conf_store_t& store, const std::string& group);
// Copies the name lower-cased into buffer (n + 1 bytes), cut at n
// characters; returns a pointer to the terminating zero.
char* conf_store_copy_name(const char* name, char* buffer, std::size_t n);
// "group/name" (or "name" for the unnamed group) to value.
std::map<std::string, std::string> conf_store_flatten(conf_parser_t& parser);

// Text to integer: leading white space, an optional sign, digits up to the
// first other character; values beyond the int range are cut to its bounds.
int conf_store_atoi(const std::string& text);

// Logs the text as a warning and marks the configuration check as failed.
void conf_store_warning(const std::string& text);

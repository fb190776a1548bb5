// The configuration store and its typed readers.
#include <cctype>
#include <algorithm>
#include <climits>
#include <cstdint>

#include <boost/algorithm/string/predicate.hpp>

#include "base/app_log.h"
#include "engine/conf_parser.h"
#include "engine/utils.h"

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Digits from text[pos] on, cut to the int range.
int saturatedDigits(const std::string& text, std::size_t pos, bool negative) {
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
    std::int64_t n = 0;
    for (; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos)
        n = std::min<std::int64_t>(n * 10 + (text[pos] - '0'), limit);
    return static_cast<int>(negative ? -n : n);
}

// An optional "-" and nothing but digits ("" and "-" are 0).
int strictInt(const std::string& text) {
    const std::size_t first = !text.empty() && text[0] == '-' ? 1 : 0;
    for (std::size_t i = first; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            throw conf_store_exception_t("value " + quoted(text) + " isn't number");
    return saturatedDigits(text, first, first == 1);
}

const std::string* findValue(const conf_store_t& store, const std::string& group, const std::string& name) {
    for (const auto& g : store) {
        if (!boost::algorithm::iequals(g.first, group)) continue;
        for (const auto& p : g.second)
            if (boost::algorithm::iequals(p.first, name)) return &p.second;
    }
    return nullptr;
}

void appendDirSlash(std::string& dir) {
    if (dir.back() != '/') dir += '/';
}

}  // namespace

void conf_store_warning(const std::string& text) {
    logWarn(text);
    setCheckFailed();
}

int conf_store_atoi(const std::string& text) {
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
    return saturatedDigits(text, pos, negative);
}

std::vector<std::string> conf_store_split_path(const std::string& path) {
    std::vector<std::string> parts;
    Utils::split(path.c_str(), "/", parts);
    if (parts.size() > 2) throw conf_store_exception_t("path is large");
    if (parts.empty()) throw conf_store_exception_t("error path name");
    return parts;
}

void conf_store_add(conf_store_t& store, const std::string& path, const std::string& value) {
    const std::vector<std::string> parts = conf_store_split_path(path);
    std::string& slot = store[parts.size() == 2 ? parts[0] : std::string()][parts.back()];
    if (slot.empty())
        slot = value;
    else
        slot += "," + value;
}

std::string conf_store_get_str(const conf_store_t& store, const std::string& path) {
    const std::vector<std::string> parts = conf_store_split_path(path);
    const std::string* value = findValue(store, parts.size() == 2 ? parts[0] : std::string(), parts.back());
    if (!value) throw conf_store_exception_t("undefined parameter " + quoted(path) + " in config file");
    return *value;
}

// An empty value would name the root directory; it is refused instead.
std::string conf_store_get_dir(const conf_store_t& store, const std::string& path) {
    std::string dir = conf_store_get_str(store, path);
    if (dir.empty()) throw conf_store_exception_t("parameter " + quoted(path) + " is empty");
    appendDirSlash(dir);
    return dir;
}

bool conf_store_get_bool(const conf_store_t& store, const std::string& path) {
    const std::string value = conf_store_get_str(store, path);
    if (boost::algorithm::iequals(value, "yes")) return true;
    if (boost::algorithm::iequals(value, "no")) return false;
    throw conf_store_exception_t("parameter " + quoted(path) + " must be \"yes\" or \"no\"");
}

int conf_store_get_int(const conf_store_t& store, const std::string& path) {
    return strictInt(conf_store_get_str(store, path));
}

std::string conf_store_get_str_def(const conf_store_t& store, const std::string& path, const std::string& def) {
    try {
        return conf_store_get_str(store, path);
    } catch (const conf_store_exception_t& e) {
        conf_store_warning(std::string(e.what()) + ". Used value " + quoted(def));
        return def;
    }
}

// The default is a directory like the value, so it gets its "/" too.
std::string conf_store_get_dir_def(const conf_store_t& store, const std::string& path, const std::string& def) {
    try {
        return conf_store_get_dir(store, path);
    } catch (const conf_store_exception_t& e) {
        std::string dir = def;
        if (!dir.empty()) appendDirSlash(dir);
        conf_store_warning(std::string(e.what()) + ". Used value " + quoted(dir));
        return dir;
    }
}

bool conf_store_get_bool_def(const conf_store_t& store, const std::string& path, bool def) {
    try {
        return conf_store_get_bool(store, path);
    } catch (const conf_store_exception_t& e) {
        conf_store_warning(std::string(e.what()) + ". Used value " + quoted(def ? "yes" : "no"));
        return def;
    }
}

int conf_store_get_int_range_def(const conf_store_t& store, const std::string& path, int minimum, int maximum,
                                 int def) {
    std::string what;
    try {
        const std::string text = conf_store_get_str(store, path);
        const int n = strictInt(text);
        if (minimum <= n && n <= maximum) return n;
        what = "value " + quoted(text) + " isn't in range [" + std::to_string(minimum) + ", " +
               std::to_string(maximum) + "]";
    } catch (const conf_store_exception_t& e) {
        what = e.what();
    }
    conf_store_warning("wrong parameter " + quoted(path) + ": " + what + ". Used default value " +
                       std::to_string(def));
    return def;
}

int conf_store_get_uint_def(const conf_store_t& store, const std::string& path, int def) {
    return conf_store_get_int_range_def(store, path, 0, INT_MAX, def);
}

void conf_store_split_list(const std::string& value, std::vector<std::string>& items) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        std::string item;
        Utils::trimGraph(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start), item);
        if (!item.empty()) items.push_back(item);
        if (comma == std::string::npos) return;
        start = comma + 1;
    }
}

void conf_store_get_str_vector(const conf_store_t& store, const std::string& path, std::vector<std::string>& items) {
    conf_store_split_list(conf_store_get_str(store, path), items);
}

void conf_store_get_str_list(const conf_store_t& store, const std::string& path, std::list<std::string>& items) {
    std::vector<std::string> read;
    conf_store_get_str_vector(store, path, read);
    items.insert(items.end(), read.begin(), read.end());
}

void conf_store_get_int_list(const conf_store_t& store, const std::string& path, std::vector<int>& items) {
    std::vector<std::string> read;
    conf_store_get_str_vector(store, path, read);
    items.clear();
    for (const std::string& item : read) items.push_back(conf_store_atoi(item));
}

void conf_store_get_str_vector_def(const conf_store_t& store, const std::string& path,
                                   std::vector<std::string>& items, const std::string& def) {
    try {
        conf_store_get_str_vector(store, path, items);
    } catch (const conf_store_exception_t& e) {
        conf_store_warning("wrong parameter " + quoted(path) + ": " + e.what() + ". Used default value " + def);
        items.push_back(def);
    }
}

void conf_store_split_url(const std::string& url, std::string& scheme, std::string& host, std::string& urlPath) {
    std::string rest = url;
    scheme.clear();
    const std::size_t mark = url.find("://");
    if (mark != std::string::npos) {
        scheme = url.substr(0, mark);
        rest = url.substr(mark + 3);
    }
    const std::size_t slash = rest.find('/');
    host = rest.substr(0, slash);
    urlPath = slash == std::string::npos ? std::string() : rest.substr(slash);
}

bool conf_store_get_http_url(const conf_store_t& store, const std::string& path, const std::string& def,
                             std::string& host, std::string& urlPath) {
    const std::string value = conf_store_get_str_def(store, path, def);
    host.clear();
    urlPath.clear();
    if (value.empty()) return false;
    std::string scheme;
    conf_store_split_url(value, scheme, host, urlPath);
    if (host.empty() || (!scheme.empty() && !boost::algorithm::iequals(scheme, "HTTP")))
        throw conf_store_exception_t("malformed http url: " + quoted(value) + " in config file");
    return true;
}

conf_group_t conf_store_get_group(const conf_store_t& store, const std::string& group) {
    for (const auto& g : store)
        if (boost::algorithm::iequals(g.first, group)) return g.second;
    return conf_group_t();
}

char* conf_store_copy_name(const char* name, char* buffer, std::size_t n) {
    std::size_t i = 0;
    for (; i < n && name[i]; ++i) buffer[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    buffer[i] = '\0';
    if (name[i]) conf_store_warning("name " + quoted(name) + " is large");
    return buffer + i;
}

std::map<std::string, std::string> conf_store_flatten(conf_parser_t& parser) {
    conf_store_t store;
    parser.load(store);
    std::map<std::string, std::string> flat;
    for (const auto& g : store)
        for (const auto& p : g.second) flat[g.first.empty() ? p.first : g.first + "/" + p.first] = p.second;
    return flat;
}

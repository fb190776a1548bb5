// An application's name. Names compare without regard to case, so maps and
// sets keyed by them hold "agent" and "AGENT" as one entry.
#pragma once

#include <strings.h>

#include <ostream>
#include <set>
#include <string>

class AppName {
public:
    AppName() = default;
    AppName(const std::string& name) : m_name(name) {}
    AppName(const char* name) : m_name(name ? name : "") {}

    const std::string& str() const { return m_name; }
    operator const std::string&() const { return m_name; }
    const char* c_str() const { return m_name.c_str(); }
    bool empty() const { return m_name.empty(); }

    // strncasecmp over the shorter length, then the shorter name first.
    static int compare(const std::string& a, const std::string& b) {
        const size_t common = a.size() < b.size() ? a.size() : b.size();
        const int c = ::strncasecmp(a.c_str(), b.c_str(), common);
        if (c != 0) return c;
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }
    bool operator<(const AppName& other) const { return compare(m_name, other.m_name) < 0; }
    bool operator==(const AppName& other) const { return compare(m_name, other.m_name) == 0; }
    bool operator!=(const AppName& other) const { return !(*this == other); }

private:
    std::string m_name;
};

inline std::ostream& operator<<(std::ostream& out, const AppName& name) { return out << name.str(); }
inline std::string operator+(const std::string& a, const AppName& b) { return a + b.str(); }
inline std::string operator+(const AppName& a, const std::string& b) { return a.str() + b; }
inline std::string operator+(const char* a, const AppName& b) { return a + b.str(); }

typedef std::set<AppName> AppNameSet;

// The configuration agent's and the mail daemon's application names.
extern const AppName kAgentAppName;
extern const AppName kVarnoAppName;

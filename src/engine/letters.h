// The notification letters about one component: failed, recovered, and
// cannot be recovered.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <list>
#include <ostream>
#include <string>
#include <vector>

void makeFailedLetter(pid_t pid, const std::string& component, time_t failureTime, const std::string& application,
                      const std::string& path, const std::list<std::string>& affected, std::string& text);
void makeRecoveryLetter(pid_t pid, const std::string& component, time_t recoveryTime, time_t failureTime,
                        int attempt, const std::string& application, const std::string& path, std::string& text);
void makeCannotRecoveryLetter(pid_t pid, const std::string& component, time_t failureTime,
                              const std::string& application, const std::string& path, std::string& text);

void makeLetterSignature(std::ostream& stream);
// "%T" texts of base + each entry in [first, last), separated by ", ".
void printTimeList(std::vector<uint32_t>::const_iterator first, std::vector<uint32_t>::const_iterator last,
                   time_t base, std::ostream& stream);

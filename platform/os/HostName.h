#pragma once
#include <string>

// A media agent named on a job's command line may carry its host name and two numbers after its
// client name: "<client>*<host>*<number>*<number>"; a plain name is both client and host, and absent
// numbers are 0. Splits such a name; false (outputs empty and 0) for an empty name or numbers that
// are not numbers.
bool DemangleHostName(const std::string& text, std::string& hostName, std::string& clientName, int& first,
                      int& second);

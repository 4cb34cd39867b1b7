// A command line for the front-end tests: modifiable copies of the words,
// with the program name as word 0, as the platform hands them to main.
#ifndef FERV_CLI_WORDS_H
#define FERV_CLI_WORDS_H

#include <string>
#include <vector>

struct CliWords {
    std::vector<std::string> text;
    std::vector<char *> pointers;

    explicit CliWords(const std::vector<std::string> &words)
    {
        text.push_back("fervadm");
        text.insert(text.end(), words.begin(), words.end());
        for (std::string &w : text)
            pointers.push_back(&w[0]);
        pointers.push_back(nullptr);
    }
    int argc() const { return (int)text.size(); }
    char **argv() { return pointers.data(); }
};

#endif

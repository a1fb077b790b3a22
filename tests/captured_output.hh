// Collects what the code under test prints on standard output.
#ifndef WAREHOUSE_TESTS_CAPTURED_OUTPUT_HH
#define WAREHOUSE_TESTS_CAPTURED_OUTPUT_HH

#include <iostream>
#include <sstream>
#include <string>

class CapturedOutput {
public:
    CapturedOutput() : saved(std::cout.rdbuf(captured.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(saved); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // The output so far; the capture starts afresh.
    std::string take()
    {
        std::string text = captured.str();
        captured.str("");
        return text;
    }

private:
    std::ostringstream captured;
    std::streambuf* saved;
};

#endif

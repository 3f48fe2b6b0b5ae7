// Reading what the programs wrote, for the end-to-end tests.
#ifndef AGREEMENT_SWEEP_TEST_FILES_H
#define AGREEMENT_SWEEP_TEST_FILES_H

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The whole file, byte for byte.
inline std::string read_text(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The pieces between separators; a separator at the very end adds no empty piece.
inline std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> pieces;
    std::string piece;
    std::istringstream in(text);
    while (std::getline(in, piece, separator)) {
        pieces.push_back(piece);
    }
    return pieces;
}

#endif

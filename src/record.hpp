#ifndef QUORVEL_RECORD_HPP
#define QUORVEL_RECORD_HPP

#include <cstdint>
#include <cstdio>

// Every data record is this many bytes, line feed included.
constexpr int recordSize = 16;

// Writes the data record that puts number at address. Returns false when the
// write failed; errno then tells why.
bool writeDataRecord(std::FILE *fout, std::uint16_t address, std::uint16_t number);

#endif

// The command bytes of the movie stream and the fixed payload each carries after its byte,
// before any embedded file. The parser skips by it; the recording build measures cut-off
// commands by it.
#ifndef QUILLFRAMER_MOVIE_COMMANDS_H
#define QUILLFRAMER_MOVIE_COMMANDS_H

#include <stdint.h>

struct MovieCommand {
    uint8_t command;
    uint16_t payloadSize;
};

extern const MovieCommand MovieCommands[];
extern const int32_t MovieCommandCount;

// Payload bytes of command; 0 for a byte that carries none or is no command.
uint32_t CommandPayloadSize(uint32_t command);

#endif

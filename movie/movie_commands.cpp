#include "movie/movie_commands.h"

// A loading command's fields are a 256-byte directory and a 32-byte file name.
const MovieCommand MovieCommands[] = {
    {'a', 256 + 32}, {'b', 256 + 32}, {'c', 10}, {'d', 42}, {'e', 12}, {'f', 4}, {'g', 8},  {'h', 10}, {'i', 2},
    {'j', 256 + 32}, {'k', 40},       {'l', 64}, {'m', 10}, {'v', 26}, {'w', 2}, {'x', 32}, {'y', 0}};
const int32_t MovieCommandCount = (int32_t)(sizeof MovieCommands / sizeof MovieCommands[0]);

uint32_t CommandPayloadSize(uint32_t command)
{
    for (int32_t i = 0; i < MovieCommandCount; ++i)
        if (MovieCommands[i].command == command) return MovieCommands[i].payloadSize;
    return 0;
}

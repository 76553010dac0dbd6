// OpenVideo: checks the signature and reads the command stream into a new MovieHandle.
#include <string.h>

#include "iff/iff_loaders.h"
#include "movie/movie_loading.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/movie_survey.h"
#include "plugin/open_diagnostics.h"

struct ParserState {
    int32_t currentScene;
    int32_t embedded;
    FaceSet *faceSet;
    int32_t originX;
    int32_t originY;
    int32_t spriteTarget;
    uint32_t lastCommand;
};

// Rate in samples per second for an Amiga sound period.
static uint16_t RateFromPeriod(uint32_t period)
{
    if (period == 0) return 0;       // no rate rather than a division by zero
    if (period < 55) return 65535;   // faster than the 16-bit field holds
    return (uint16_t)(uint32_t)(QF_AMIGA_PAL_CLOCK / (2.0 * (double)period));
}

static int32_t ReadI16(HostFile file) { return (int16_t)(uint16_t)ReadU16(file); }

static void SkipBytes(HostFile file, int64_t count) { HostSeek(file, count, HOST_SEEK_RELATIVE); }

static int32_t CheckSignature(HostFile file)
{
    char signature[QF_SIGNATURE_LENGTH];
    memset(signature, 0, sizeof signature);  // a short file leaves zeros, never a match
    HostRead(file, signature, sizeof signature);
    if (memcmp(signature, QF_SIGNATURE_SCENE_EDITOR, QF_SIGNATURE_LENGTH) == 0) return 1;
    return memcmp(signature, QF_SIGNATURE_QUILLFRAMER, QF_SIGNATURE_LENGTH) == 0;
}

static SceneRecord *CurrentScene(MovieHandle *movie, const ParserState *state)
{
    if (!movie->scenes) {  // scene command before "w"
        QF_NOTE(NoteFailure(OpenFailureOrder, "a scene command before the scene table (\"w\")", 0));
        return 0;
    }
    return &movie->scenes[state->currentScene];
}

// Makes room for count records; the list may have grown since the index was last used.
static int32_t ReserveIndex(RecordIndex *index, int32_t count)
{
    if (index->capacity >= count) return 1;
    int64_t capacity = index->capacity ? index->capacity : 16;
    while (capacity < count) capacity *= 2;
    void **records = (void **)AllocZeroed((size_t)capacity * sizeof(void *));
    if (!records) {
        QF_NOTE(NoteOutOfMemory("a list index"));
        return 0;
    }
    if (index->count) memcpy(records, index->records, (size_t)index->count * sizeof(void *));
    FreeBlock(index->records);
    index->records = records;
    index->capacity = (int32_t)capacity;
    return 1;
}

// Lists only grow at their tail: the index takes in what was appended since, then answers at once.
static BackgroundImage *NthBackground(MovieHandle *movie, uint32_t position)
{
    RecordIndex *index = &movie->backgroundIndex;
    if (!ReserveIndex(index, movie->backgroundCount)) return 0;
    BackgroundImage *image = index->count ? ((BackgroundImage *)index->records[index->count - 1])->next : movie->backgrounds;
    for (; image && index->count < movie->backgroundCount; image = image->next) index->records[index->count++] = image;
    return (BackgroundImage *)index->records[position];
}

static SoundSample *NthSound(MovieHandle *movie, uint32_t position)
{
    RecordIndex *index = &movie->soundIndex;
    if (!ReserveIndex(index, movie->soundCount)) return 0;
    SoundSample *sample = index->count ? ((SoundSample *)index->records[index->count - 1])->next : movie->soundSamples;
    for (; sample && index->count < movie->soundCount; sample = sample->next) index->records[index->count++] = sample;
    return (SoundSample *)index->records[position];
}

static FaceSet *NthFaceSet(MovieHandle *movie, uint32_t position)
{
    RecordIndex *index = &movie->faceSetIndex;
    if (!ReserveIndex(index, movie->faceSetCount)) return 0;
    FaceSet *set = index->count ? ((FaceSet *)index->records[index->count - 1])->next : movie->faceSets;
    for (; set && index->count < movie->faceSetCount; set = set->next) index->records[index->count++] = set;
    return (FaceSet *)index->records[position];
}

static int32_t CreateSceneTable(MovieHandle *movie, ParserState *state)
{
    uint32_t count = ReadU16(movie->file);
    if (movie->scenes) {
        for (int32_t i = 0; i <= movie->sceneCount; ++i) FreeSceneContents(&movie->scenes[i]);
        FreeBlock(movie->scenes);
        movie->scenes = 0;
    }
    movie->sceneCount = (int32_t)count;
    movie->scenes = (SceneRecord *)AllocZeroed(((size_t)count + 1) * sizeof(SceneRecord));
    state->currentScene = 0;
    if (!movie->scenes) QF_NOTE(NoteOutOfMemory("the scene table"));
    return movie->scenes != 0;
}

static int32_t ChooseScene(MovieHandle *movie, ParserState *state)
{
    SkipBytes(movie->file, 8);
    int32_t index = (int32_t)ReadU16(movie->file);
    if (index > movie->sceneCount) {
        QF_NOTE(NoteIndexOutOfRange("scene", index, movie->sceneCount + 1));
        return 0;
    }
    state->currentScene = index;
    return 1;
}

static int32_t SetDuration(MovieHandle *movie, ParserState *state)
{
    int32_t frames = (int32_t)ReadU16(movie->file);
    SceneRecord *scene = CurrentScene(movie, state);
    if (!scene) return 0;
    scene->frames = frames < 6 ? 6 : frames;  // at least 120 ms
    return 1;
}

static int32_t SetBackground(MovieHandle *movie, ParserState *state)
{
    uint32_t index = ReadU16(movie->file);
    ReadU16(movie->file);
    SceneRecord *scene = CurrentScene(movie, state);
    if (!scene) return 0;
    BackgroundImage *image;
    if (index == 0xFFFF) {
        image = movie->noBackground;
    } else {
        if ((int32_t)index >= movie->backgroundCount) {
            QF_NOTE(NoteIndexOutOfRange("background", index, movie->backgroundCount));
            return 0;
        }
        image = NthBackground(movie, index);
        if (!image) return 0;
    }
    scene->background = image;
    if (!scene->palette) {
        scene->palette = image->colors;
        scene->paletteCount = (int32_t)image->colorCount;
        scene->paletteOwned = 0;
    }
    return 1;
}

static int32_t SetPalette(MovieHandle *movie, ParserState *state)
{
    uint8_t colours[ScenePaletteColors * 3];
    for (int i = 0; i < ScenePaletteColors; ++i) {
        uint32_t redByte = ReadU8(movie->file);
        uint32_t greenBlue = ReadU8(movie->file);
        colours[3 * i] = (uint8_t)(redByte << 4);
        colours[3 * i + 1] = (uint8_t)(greenBlue & 0xF0);
        colours[3 * i + 2] = (uint8_t)(greenBlue << 4);
    }
    SceneRecord *scene = CurrentScene(movie, state);
    if (!scene) return 0;
    uint8_t *block = (uint8_t *)AllocRaw(sizeof colours);
    if (!block) {
        QF_NOTE(NoteOutOfMemory("a scene palette"));
        return 0;
    }
    memcpy(block, colours, sizeof colours);
    if (scene->palette && scene->paletteOwned) FreeBlock(scene->palette);
    scene->palette = block;
    scene->paletteCount = ScenePaletteColors;
    scene->paletteOwned = 1;
    return 1;
}

static int32_t StartScroll(MovieHandle *movie, ParserState *state)
{
    int32_t velocity = ReadI16(movie->file);
    int32_t limit = ReadI16(movie->file);
    int32_t acceleration = ReadI16(movie->file);
    uint32_t axis = ReadU16(movie->file);
    SceneRecord *scene = CurrentScene(movie, state);
    if (!scene) return 0;
    ScrollMotion *motion = (ScrollMotion *)AllocZeroed(sizeof(ScrollMotion));
    if (!motion) {
        QF_NOTE(NoteOutOfMemory("a scroll motion"));
        return 0;
    }
    motion->horizontal = axis == 0;
    motion->velocity = velocity;
    motion->limit = limit;
    motion->acceleration = acceleration;
    FreeBlock(scene->scroll);
    scene->scroll = motion;
    return 1;
}

static int32_t StartSound(MovieHandle *movie, ParserState *state)
{
    uint32_t index = ReadU16(movie->file);
    ReadU16(movie->file);
    uint32_t volume = ReadU16(movie->file);
    uint32_t period = ReadU16(movie->file);
    uint32_t mask = ReadU16(movie->file);
    SceneRecord *scene = CurrentScene(movie, state);
    if (!scene) return 0;
    if ((int32_t)index >= movie->soundCount) {
        QF_NOTE(NoteIndexOutOfRange("sound", index, movie->soundCount));
        return 0;
    }
    uint16_t rate = RateFromPeriod(period);
    if (volume == 0) return 1;  // stores nothing: neither starts nor stops a channel
    SoundSample *sample = NthSound(movie, index);
    if (!sample) return 0;
    for (int k = 0; k < ChannelCount; ++k) {
        if (!(mask & (1u << k))) continue;
        scene->sounds[k] = sample;
        scene->rates[k] = rate;
        scene->volumes[k] = (uint8_t)volume;
    }
    return 1;
}

static int32_t SetColorCycles(MovieHandle *movie, ParserState *state)
{
    uint32_t groups[5][CycleCount];
    for (int g = 0; g < 5; ++g)
        for (int k = 0; k < CycleCount; ++k) groups[g][k] = ReadU16(movie->file);
    SceneRecord *scene = CurrentScene(movie, state);
    if (!scene) return 0;
    for (int k = 0; k < CycleCount; ++k) {
        ColorCycle *cycle = &scene->cycles[k];
        cycle->low = (int32_t)groups[0][k];
        cycle->high = (int32_t)groups[1][k];
        cycle->direction = (int32_t)groups[3][k];
        cycle->command = groups[4][k] == 0 ? 2 : (int32_t)groups[4][k];  // 0 means stop
    }
    return 1;
}

static int32_t ChooseFaceSet(MovieHandle *movie, ParserState *state)
{
    char text[32];
    HostRead(movie->file, text, sizeof text);
    uint32_t index = ReadU16(movie->file);
    if ((int32_t)index >= movie->faceSetCount) {
        QF_NOTE(NoteIndexOutOfRange("face set", index, movie->faceSetCount));
        return 0;
    }
    state->faceSet = NthFaceSet(movie, index);
    if (!state->faceSet) return 0;
    state->originX = ReadI16(movie->file);
    state->originY = ReadI16(movie->file);
    SkipBytes(movie->file, 4);
    state->spriteTarget = state->currentScene;
    return 1;
}

// The set's images by number, listed once: a long animation places faces of one set many times.
static FaceImage **IndexFaces(FaceSet *set)
{
    if (set->faceIndex) return set->faceIndex;
    FaceImage **index = (FaceImage **)AllocZeroed((size_t)set->imageCount * sizeof(FaceImage *));
    if (!index) {
        QF_NOTE(NoteOutOfMemory("a face index"));
        return 0;
    }
    FaceImage *image = set->images;
    for (int32_t i = 0; i < set->imageCount && image; ++i, image = image->next) index[i] = image;
    set->faceIndex = index;
    return index;
}

static int32_t PlaceSprite(MovieHandle *movie, ParserState *state)
{
    int32_t face = (int32_t)ReadU16(movie->file);
    int32_t dx = ReadI16(movie->file);
    int32_t dy = ReadI16(movie->file);
    uint32_t layer = ReadU16(movie->file);
    ReadU16(movie->file);
    ReadU16(movie->file);
    if (!movie->scenes || layer > 15 || !state->faceSet) {
        QF_NOTE(layer > 15 ? NoteIndexOutOfRange("layer", layer, LayerCount)
                : !movie->scenes ? NoteFailure(OpenFailureOrder, "a sprite before the scene table (\"w\")", 0)
                                 : NoteFailure(OpenFailureOrder, "a sprite before a face set was chosen (\"d\")", 0));
        return 0;
    }
    FaceSet *set = state->faceSet;
#ifdef QF_OPEN_DIAGNOSTICS
    if (IsMissingFaceSet(set)) {  // a survey going on without the file: nothing to place
        state->spriteTarget++;
        return 1;
    }
#endif
    int32_t index = face - 1;
    if (set->imageCount <= 0 || index >= set->imageCount) {  // a set without faces has no face 0 either
        QF_NOTE(NoteIndexOutOfRange("face", face, set->imageCount));
        return 0;
    }
    if (state->spriteTarget > movie->sceneCount) {
        QF_NOTE(NoteIndexOutOfRange("sprite target scene", state->spriteTarget, movie->sceneCount + 1));
        return 0;
    }
    FaceImage **faces = IndexFaces(set);
    if (!faces) return 0;
    FaceImage *image = faces[index < 0 ? 0 : index];  // face 0 acts as face 1
    SpritePlacement *placement = (SpritePlacement *)AllocZeroed(sizeof(SpritePlacement));
    if (!placement) {
        QF_NOTE(NoteOutOfMemory("a sprite placement"));
        return 0;
    }
    placement->width = (int32_t)image->width;
    placement->height = (int32_t)image->height;
    placement->x = state->originX + image->offsetX + dx;
    placement->y = state->originY + image->offsetY + dy;
    placement->pixels = image->pixels;
    SceneRecord *scene = &movie->scenes[state->spriteTarget];
    placement->next = scene->layers[layer];
    scene->layers[layer] = placement;
    state->spriteTarget++;
    return 1;
}

static int32_t LoadAsset(MovieHandle *movie, ParserState *state, int32_t kind)
{
    // One byte more than each field, so a field without a NUL still ends.
    char directory[257];
    char fileName[33];
    memset(directory, 0, sizeof directory);
    memset(fileName, 0, sizeof fileName);
    HostRead(movie->file, directory, 256);
    HostRead(movie->file, fileName, 32);
    QF_NOTE(NoteAssetStart(movie, kind, state->embedded, directory, fileName));
    int32_t result;
    if (!state->embedded)
        result = ResolveAmigaFile(movie, kind, directory, fileName);
    else if (kind == AssetBackground)
        result = LoadBackgroundImage(movie, movie->file);
    else if (kind == AssetFaceSet)
        result = LoadFaceSet(movie, movie->file);
    else
        result = LoadSoundSample(movie, movie->file);
    QF_NOTE(NoteAssetEnd(movie));
    return result;
}

static int32_t RunCommand(MovieHandle *movie, ParserState *state, uint32_t command)
{
    switch (command) {
    case 'a': return LoadAsset(movie, state, AssetBackground);
    case 'b': return LoadAsset(movie, state, AssetFaceSet);
    case 'c': return ChooseScene(movie, state);
    case 'd': return ChooseFaceSet(movie, state);
    case 'e': return PlaceSprite(movie, state);
    case 'f': return SetBackground(movie, state);
    case 'g': return StartScroll(movie, state);
    case 'h': return StartSound(movie, state);
    case 'i': return SetDuration(movie, state);
    case 'j': return LoadAsset(movie, state, AssetSound);
    case 'k': return SetColorCycles(movie, state);
    case 'l': return SetPalette(movie, state);
    case 'm': SkipBytes(movie->file, 10); return 1;
    case 'v': SkipBytes(movie->file, 26); return 1;
    case 'w': return CreateSceneTable(movie, state);
    case 'x': SkipBytes(movie->file, 32); return 1;
    case 'y': state->embedded = 1; return 1;
    default: return 1;  // "n" to "u" and "z"
    }
}

static int32_t ParseCommands(MovieHandle *movie)
{
    ParserState state;
    memset(&state, 0, sizeof state);
    for (;;) {
        if (HostAtEndOfFile(movie->file) || state.lastCommand == 'z') return 1;
        QF_NOTE(NoteCommandStart(movie->file));
        uint32_t command = ReadU8(movie->file);
        if (command < 'a' || command > 'z') {
            QF_NOTE(NoteFailure(OpenFailureUnknownCommand, 0, 0));
            QF_NOTE(NoteCommandFailed(command));
            return 0;
        }
        state.lastCommand = command;
        if (!RunCommand(movie, &state, command)) {
            QF_NOTE(NoteCommandFailed(command));
            return 0;
        }
    }
}

static MovieHandle *FailOpen(MovieHandle *movie)
{
    CloseVideo(movie);
    return 0;
}

MovieHandle *OpenVideo(const char *name, StreamDescriptor *descriptor)
{
    MovieHandle *movie = (MovieHandle *)AllocZeroed(sizeof(MovieHandle));
    if (!movie) {
        QF_NOTE(NoteOutOfMemory("the movie record"));
        return 0;
    }
    uint32_t option = HostVersion() >= 6 ? descriptor->openOption : 0;
    movie->file = HostOpen(name, option);
    if (!movie->file) {
        QF_NOTE(NoteFailure(OpenFailureMovieFile, 0, name));
        return FailOpen(movie);
    }
    if (!CheckSignature(movie->file)) {
        QF_NOTE(NoteFailure(OpenFailureSignature, 0, name));
        return FailOpen(movie);
    }
    QF_NOTE(NoteStreamSize(movie->file));
    // The signature's "x" is itself the first command.
    HostSeek(movie->file, 0, HOST_SEEK_END);
    HostSeek(movie->file, 0, HOST_SEEK_START);
    movie->noBackground = (BackgroundImage *)AllocZeroed(sizeof(BackgroundImage));
    if (!movie->noBackground) {
        QF_NOTE(NoteOutOfMemory("the empty background"));
        return FailOpen(movie);
    }
    if (!ParseCommands(movie)) return FailOpen(movie);
    if (!FinishMovie(movie)) return FailOpen(movie);
    FillStreamDescriptor(movie, descriptor);
    return movie;
}

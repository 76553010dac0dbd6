// OpenVideo: checks the signature and reads the command stream into a new MovieHandle.
#include <string.h>

#include "iff/iff_loaders.h"
#include "movie/movie_commands.h"
#include "movie/movie_loading.h"
#include "movie/record_list.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/notes.h"

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
    if (period == 0) return 0;      // no rate rather than a division by zero
    if (period < 55) return 65535;  // faster than the 16-bit field holds
    return (uint16_t)(uint32_t)(QF_AMIGA_PAL_CLOCK / (2.0 * (double)period));
}

static int32_t ReadI16(HostFile file) { return (int16_t)(uint16_t)ReadU16(file); }

static void SkipBytes(HostFile file, int64_t count) { HostSeek(file, count, HOST_SEEK_RELATIVE); }

static int32_t CheckSignature(HostFile file)
{
    char signature[QF_SIGNATURE_LENGTH];
    memset(signature, 0, sizeof signature);  // a short file leaves zeros, never a match
    HostRead(file, signature, sizeof signature);
    return QfIsMovieSignature(signature, sizeof signature);
}

static SceneRecord *CurrentScene(MovieHandle *movie, const ParserState *state)
{
    if (!movie->scenes) return QF_FAIL(movie, Order, "a scene command before the scene table (\"w\")");
    return &movie->scenes[state->currentScene];
}

static BackgroundImage *NthBackground(MovieHandle *movie, uint32_t position)
{
    return (BackgroundImage *)NthRecord(movie, &movie->backgroundIndex, movie->backgrounds, movie->backgroundCount,
                                        position, offsetof(BackgroundImage, next));
}

static SoundSample *NthSound(MovieHandle *movie, uint32_t position)
{
    return (SoundSample *)NthRecord(movie, &movie->soundIndex, movie->soundSamples, movie->soundCount, position,
                                    offsetof(SoundSample, next));
}

static FaceSet *NthFaceSet(MovieHandle *movie, uint32_t position)
{
    return (FaceSet *)NthRecord(movie, &movie->faceSetIndex, movie->faceSets, movie->faceSetCount, position,
                                offsetof(FaceSet, next));
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
    if (!movie->scenes) return QF_FAIL(movie, Memory, "the scene table", ((size_t)count + 1) * sizeof(SceneRecord));
    QF_NOTE(NoteCurrentScene(movie, 0));
    return 1;
}

static int32_t ChooseScene(MovieHandle *movie, ParserState *state)
{
    SkipBytes(movie->file, 8);
    int32_t index = (int32_t)ReadU16(movie->file);
    if (index > movie->sceneCount) return QF_FAIL(movie, Index, SubjectScene, index, movie->sceneCount + 1);
    state->currentScene = index;
    QF_NOTE(NoteCurrentScene(movie, index));
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
        if ((int32_t)index >= movie->backgroundCount)
            return QF_FAIL(movie, Index, SubjectBackground, index, movie->backgroundCount);
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
    if (!block) return QF_FAIL(movie, Memory, "a scene palette", sizeof colours);
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
    if (!motion) return QF_FAIL(movie, Memory, "a scroll motion", sizeof(ScrollMotion));
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
    if ((int32_t)index >= movie->soundCount) return QF_FAIL(movie, Index, SubjectSound, index, movie->soundCount);
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
    if ((int32_t)index >= movie->faceSetCount) return QF_FAIL(movie, Index, SubjectFaceSet, index, movie->faceSetCount);
    state->faceSet = NthFaceSet(movie, index);
    if (!state->faceSet) return 0;
    state->originX = ReadI16(movie->file);
    state->originY = ReadI16(movie->file);
    SkipBytes(movie->file, 4);
    state->spriteTarget = state->currentScene;
    return 1;
}

// The set's images by number, listed once: a long animation places faces of one set many times.
static FaceImage **IndexFaces(const MovieHandle *movie, FaceSet *set)
{
    if (set->faceIndex) return set->faceIndex;
    FaceImage **index = (FaceImage **)AllocZeroed((size_t)set->imageCount * sizeof(FaceImage *));
    if (!index) return QF_FAIL(movie, Memory, "a face index", (size_t)set->imageCount * sizeof(FaceImage *));
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
    if (layer > 15) return QF_FAIL(movie, Index, SubjectLayer, layer, LayerCount);
    if (!movie->scenes) return QF_FAIL(movie, Order, "a sprite before the scene table (\"w\")");
    if (!state->faceSet) return QF_FAIL(movie, Order, "a sprite before a face set was chosen (\"d\")");
    FaceSet *set = state->faceSet;
    if (set->standIn) {  // the open goes on without its file: nothing to place
        state->spriteTarget++;
        return 1;
    }
    int32_t index = face - 1;
    if (set->imageCount <= 0 || index >= set->imageCount)  // a set without faces has no face 0 either
        return QF_FAIL(movie, Index, SubjectFace, face, set->imageCount);
    if (state->spriteTarget > movie->sceneCount)
        return QF_FAIL(movie, Index, SubjectSpriteTarget, state->spriteTarget, movie->sceneCount + 1);
    FaceImage **faces = IndexFaces(movie, set);
    if (!faces) return 0;
    FaceImage *image = faces[index < 0 ? 0 : index];  // face 0 acts as face 1
    SpritePlacement *placement = (SpritePlacement *)AllocZeroed(sizeof(SpritePlacement));
    if (!placement) return QF_FAIL(movie, Memory, "a sprite placement", sizeof(SpritePlacement));
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
    if (!state->embedded) result = ResolveAmigaFile(movie, kind, directory, fileName);
    else if (kind == AssetBackground) result = LoadBackgroundImage(movie, movie->file);
    else if (kind == AssetFaceSet) result = LoadFaceSet(movie, movie->file);
    else result = LoadSoundSample(movie, movie->file);
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
    case 'm':
    case 'v':
    case 'x': SkipBytes(movie->file, CommandPayloadSize(command)); return 1;
    case 'w': return CreateSceneTable(movie, state);
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
        QF_NOTE(NoteCommandStart(movie));
        uint32_t command = ReadU8(movie->file);
        int32_t known = command >= 'a' && command <= 'z';
        if (!known) QF_NOTE(NoteFailedUnknownCommand(movie));
        state.lastCommand = command;
        if (!known || !RunCommand(movie, &state, command)) {
            QF_NOTE(NoteCommandFailed(movie, command));
            return 0;
        }
    }
}

// failed is the QF_FAIL that names why; the movie goes with it.
static MovieHandle *FailOpen(MovieHandle *movie, int32_t failed)
{
    (void)failed;
    CloseVideo(movie);
    return 0;
}

MovieHandle *OpenMovie(const char *name, StreamDescriptor *descriptor, Recorder *recorder)
{
    MovieHandle *movie = (MovieHandle *)AllocZeroed(sizeof(MovieHandle));
    if (!movie) {
        QF_NOTE(NoteNoMovieRecord(recorder, sizeof(MovieHandle)));
        return 0;
    }
    movie->recorder = recorder;
    uint32_t option = HostVersion() >= 6 ? descriptor->openOption : 0;
    movie->file = HostOpen(name, option);
    if (!movie->file) return FailOpen(movie, QF_FAIL(movie, MovieFile, name));
    if (!CheckSignature(movie->file)) return FailOpen(movie, QF_FAIL(movie, Signature, name));
    QF_NOTE(NoteStreamSize(movie));
    // The signature's "x" is itself the first command.
    HostSeek(movie->file, 0, HOST_SEEK_END);
    HostSeek(movie->file, 0, HOST_SEEK_START);
    movie->noBackground = (BackgroundImage *)AllocZeroed(sizeof(BackgroundImage));
    if (!movie->noBackground)
        return FailOpen(movie, QF_FAIL(movie, Memory, "the empty background", sizeof(BackgroundImage)));
    if (!ParseCommands(movie) || !FinishMovie(movie)) return FailOpen(movie, 0);
    FillStreamDescriptor(movie, descriptor);
    return movie;
}

MovieHandle *OpenVideo(const char *name, StreamDescriptor *descriptor) { return OpenMovie(name, descriptor, 0); }

// ID3v1 and ID3v1.1: the 128-byte block at a file's end ("TAG", title, artist, album, year,
// comment, genre byte; v1.1 keeps the track number in the comment's last byte). Fields are
// Latin-1, cut at the first NUL and trimmed of trailing spaces. Also the genre names.
#include "tag_source.h"

#include <cstdio>
#include <cstring>

namespace mpeg_tags_impl {

namespace {

// The ID3v1 genre list and its Winamp extensions: numbers 0 to 191.
const char* const kGenres[] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
    "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
    "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical",
    "Instrumental", "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "AlternRock",
    "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop", "Instrumental Rock",
    "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance",
    "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap",
    "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave", "Psychedelic", "Rave",
    "Showtunes", "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro",
    "Musical", "Rock & Roll", "Hard Rock",
    // Winamp's extensions from 80 on.
    "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock",
    "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour",
    "Speech", "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus",
    "Porn Groove", "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad",
    "Power Ballad", "Rhythmic Soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A capella",
    "Euro-House", "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore", "Terror",
    "Indie", "BritPop", "Negerpunk", "Polsk Punk", "Beat", "Christian Gangsta Rap",
    "Heavy Metal", "Black Metal", "Crossover", "Contemporary Christian", "Christian Rock",
    "Merengue", "Salsa", "Thrash Metal", "Anime", "JPop", "Synthpop", "Abstract", "Art Rock",
    "Baroque", "Bhangra", "Big Beat", "Breakbeat", "Chillout", "Downtempo", "Dub", "EBM",
    "Eclectic", "Electro", "Electroclash", "Emo", "Experimental", "Garage", "Global", "IDM",
    "Illbient", "Industro-Goth", "Jam Band", "Krautrock", "Leftfield", "Lounge", "Math Rock",
    "New Romantic", "Nu-Breakz", "Post-Punk", "Post-Rock", "Psytrance", "Shoegaze",
    "Space Rock", "Trop Rock", "World Music", "Neoclassical", "Audiobook", "Audio Theatre",
    "Neue Deutsche Welle", "Podcast", "Indie Rock", "G-Funk", "Dubstep", "Garage Rock",
    "Psybient"};
constexpr int kGenreCount = int(sizeof kGenres / sizeof kGenres[0]);
static_assert(kGenreCount == 192, "the genre list runs from 0 to 191");

// A field: cut at the first NUL, trailing spaces dropped.
char* v1_text(const uint8_t* p, size_t n) {
    const void* nul = std::memchr(p, 0, n);
    if (nul) n = size_t(static_cast<const uint8_t*>(nul) - p);
    while (n > 0 && p[n - 1] == ' ') --n;
    TextBuilder b;
    latin1_to_utf8(&b, p, n);
    return b.take();
}

}  // namespace

const char* id3v1_genre_name(int g) { return g >= 0 && g < kGenreCount ? kGenres[g] : nullptr; }

void id3v1_read(const uint8_t* p, TagSource* src) {
    src->set(MPEG_TAG_TITLE, v1_text(p + 3, 30));
    src->set(MPEG_TAG_ARTIST, v1_text(p + 33, 30));
    src->set(MPEG_TAG_ALBUM, v1_text(p + 63, 30));
    src->set(MPEG_TAG_DATE, v1_text(p + 93, 4));
    // v1.1: a NUL before the comment's last byte makes that byte the track number.
    const bool v11 = p[125] == 0 && p[126] != 0;
    src->set(MPEG_TAG_COMMENT, v1_text(p + 97, v11 ? 28 : 30));
    if (v11) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%d", p[126]);
        src->set(MPEG_TAG_TRACK, copy_text(digits, std::strlen(digits)));
    }
    if (const char* g = id3v1_genre_name(p[127]))
        src->set(MPEG_TAG_GENRE, copy_text(g, std::strlen(g)));
}

}  // namespace mpeg_tags_impl

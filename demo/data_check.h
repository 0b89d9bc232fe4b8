// The check of zivivev.dat's object layout, kept apart from the screens so that tests can call
// it on hand-made object lists without loading a file.
#pragma once

#include <allegro.h>

// True when objects 0..3 exist with the kinds the demo uses them as.
bool datafile_usable(const DATAFILE* d);

// True when the file at `path` can be handed to load_datafile: an uncompressed data file whose
// objects all lie wholly inside it, or a compressed one (which only Allegro can unpack). A
// file cut short makes Allegro's loader crash, so such a file counts as missing.
bool datafile_file_complete(const char* path);

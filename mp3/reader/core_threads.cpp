// The whole-data decode on several threads, for data held whole in memory and indexed. The
// calling thread decodes the frames from the start as a one-thread decode does, a piece at a
// time; worker threads, each with a core of its own, take segments from the other end, each
// decoded from a seek to its first frame (its pre-roll decoded with the output thrown away),
// which gives byte for byte what a decode from frame 0 gives those frames. Where the calling
// thread reaches a segment a worker has done, it steps over it (a seek); one that failed it
// decodes itself. Workers thus only take work off the calling thread: one the machine does not
// run costs the decode its start and nothing more. Whether they start at all is decided on a
// measured cost: the calling thread's processor time for its first frames (its wall time where
// the system counts thread time only coarsely: threads.h), projected over the rest. Memory: per
// worker one core and one piece buffer, made once and used for every segment.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "core.h"
#include "decoder_state.h"
#include "threads.h"

namespace {

// Frames the calling thread decodes between two looks at the workers (and a piece buffer holds).
constexpr int32_t kPieceFrames = 32;
// A worker's segment: a share of the frames not yet taken (1 / (2 threads)), so that segments
// shrink as the two ends meet and no thread waits long for another, between these bounds (a
// segment costs the pre-roll of a few frames).
constexpr int32_t kMinSegmentFrames = 64;
constexpr int32_t kMaxSegmentFrames = 1024;
// The last frames are left to the caller's own decode, which meets the data's end.
constexpr int32_t kTailFrames = 8;
constexpr int32_t kMaxThreads = 64;
// Threads are started by default when the rest would take one thread longer than this. Starting
// a worker (its thread, its core set up, its first pre-roll) costs about 0.2 ms of processor
// time; a decode of 10 ms gains from a second thread many times that.
constexpr int64_t kPaysAfterNs = 10 * 1000 * 1000;

int32_t segment_size(int32_t left, int32_t threads) {
    int32_t size = left / (2 * threads);
    if (size > kMaxSegmentFrames) size = kMaxSegmentFrames;
    if (size < kMinSegmentFrames) size = kMinSegmentFrames;
    return size < left ? size : left;
}

enum SegmentState : int32_t { kBusy, kDone, kFailed };

struct Segment {
    int32_t from, to;
    int32_t state;
};

// What the threads of one decode share; the fields below `lock` are guarded by it.
struct Run {
    const uint8_t* data;
    int32_t len;
    uint8_t* out;
    MpegPcmSink put;
    void* ctx;
    int32_t threads;
    // What a worker's core is opened like, taken from the calling thread's core before it
    // decodes (the workers never read that core).
    int32_t reduction, convert, freq_limit, gap_on, frame_pcm_bytes, info;
    float gain;
    MpegFrameIndex index;  // shared, read only

    ZivMutex lock;
    ZivCond changed;
    int32_t claimed;      // the calling thread's frames are [0, claimed)
    int32_t back;         // the workers' are [back, limit): segs[0..count), from the top down
    Segment* segs;
    int32_t count;
    int32_t stop;         // set when the decode ends: no more segments are taken
    std::atomic<int32_t> stopped;  // set when put asked to stop
};

// The caller's put, from any thread; a stop is seen by every thread.
int32_t put_piece(void* arg, uint8_t* pcm, int64_t at, int32_t bytes) {
    Run* r = static_cast<Run*>(arg);
    if (r->stopped.load() || r->put(r->ctx, pcm, at, bytes)) return !r->stopped.load();
    r->stopped.store(1);
    return 0;
}

// Opens a worker's core on the data as the calling thread's was opened, on its index.
bool open_worker(MpegCore* w, const Run* r) {
    if (!mpeg_core_init(w, r->reduction, r->convert, r->freq_limit)) return false;
    mpeg_core_use_gapless(w, r->gap_on);
    mpeg_decoder_set_gain(mpeg_core_decoder(w), r->gain);
    int32_t at = 0;
    if (mpeg_core_open(w, r->data, r->len, 1, &at) != MP3_OK || at != 0 ||
        w->frame_pcm_bytes != r->frame_pcm_bytes || w->info != r->info)
        return false;
    w->index = r->index;
    return true;
}

// Decodes [from, to) on core w from a seek to `from`, into the output or through buf.
int32_t decode_segment(Run* r, MpegCore* w, uint8_t* buf, int32_t from, int32_t to) {
    int32_t pos = mpeg_core_move_frame(w, from, r->len, 0);
    if (!mpeg_core_prepare(w, r->data, r->len)) return 0;
    const int64_t at = mpeg_core_range_bytes(w, 0, from);
    if (r->out) {
        // Written first: the synthesis stores the two channels of stereo PCM in turn, each
        // reading the line it completes, and untouched memory would fault twice a page.
        memset(r->out + at, 0, size_t(mpeg_core_range_bytes(w, from, to)));
        return mpeg_core_decode_on(w, r->data, r->len, &pos, from, to, to - from, r->out + at, 1,
                                   nullptr, nullptr, 0);
    }
    return mpeg_core_decode_on(w, r->data, r->len, &pos, from, to, kPieceFrames, buf, 0,
                               put_piece, r, at);
}

void* worker(void* arg) {
    Run* r = static_cast<Run*>(arg);
    MpegCore* w = static_cast<MpegCore*>(calloc(1, sizeof(MpegCore)));
    uint8_t* buf = r->out ? nullptr
                          : static_cast<uint8_t*>(malloc(size_t(kPieceFrames) *
                                                         size_t(r->frame_pcm_bytes)));
    // A worker that cannot be set up takes nothing: the calling thread decodes it all.
    const bool ready = w && (r->out || buf) && open_worker(w, r);
    ziv_mutex_lock(&r->lock);
    while (ready && !r->stop && !r->stopped.load() && r->back > r->claimed) {
        const int32_t to = r->back;
        const int32_t from = to - segment_size(to - r->claimed, r->threads);
        Segment* s = &r->segs[r->count++];
        *s = Segment{from, to, kBusy};
        r->back = from;
        ziv_mutex_unlock(&r->lock);
        const int32_t ok = decode_segment(r, w, buf, from, to);
        ziv_mutex_lock(&r->lock);
        s->state = ok ? kDone : kFailed;
        ziv_cond_broadcast(&r->changed);
    }
    ziv_mutex_unlock(&r->lock);
    if (w) {
        w->index = MpegFrameIndex{nullptr, 0};  // the calling thread's
        mpeg_core_free(w);
    }
    free(w);
    free(buf);
    return nullptr;
}

}  // namespace

int32_t mpeg_core_processors(void) { return ziv_processors(); }

int32_t mpeg_core_decode_run(MpegCore* c, const uint8_t* data, int32_t len, int32_t threads,
                             uint8_t* out, int64_t room, MpegPcmSink put, void* ctx,
                             int32_t* pos) {
    *pos = mpeg_core_move_frame(c, 0, len, 0);
    int32_t limit = c->index.frames - kTailFrames;
    if (!c->index.offsets || limit <= 0 || (!out && !put)) return 0;
    if (out && mpeg_core_range_bytes(c, 0, limit) > room) {
        // The most frames whose PCM fits the room.
        int32_t lo = 0;
        while (lo < limit) {
            const int32_t mid = lo + (limit - lo + 1) / 2;
            if (mpeg_core_range_bytes(c, 0, mid) <= room) lo = mid;
            else limit = mid - 1;
        }
        if (limit <= 0) return 0;
    }
    const bool automatic = threads <= 0;
    if (automatic) threads = mpeg_core_processors();
    if (threads > kMaxThreads) threads = kMaxThreads;

    Run r;
    r.data = data;
    r.len = len;
    r.out = out;
    r.put = put;
    r.ctx = ctx;
    r.threads = threads;
    r.reduction = c->reduction;
    r.convert = c->convert;
    r.freq_limit = c->freq_limit;
    r.gap_on = c->gap.on;
    r.frame_pcm_bytes = c->frame_pcm_bytes;
    r.info = c->info;
    r.gain = mpeg_core_decoder(c)->gain;
    r.index = c->index;
    ziv_mutex_init(&r.lock);
    ziv_cond_init(&r.changed);
    r.claimed = 0;
    r.back = limit;
    r.count = 0;
    r.stop = 0;
    r.stopped.store(0);
    // Every segment is at least kMinSegmentFrames but the last, which meets the calling thread.
    r.segs = static_cast<Segment*>(malloc(sizeof(Segment) * (size_t(limit / kMinSegmentFrames) + 2)));
    uint8_t* buf = out ? nullptr
                       : static_cast<uint8_t*>(malloc(size_t(kPieceFrames) *
                                                      size_t(c->frame_pcm_bytes)));
    ZivThread tid[kMaxThreads];
    int32_t started = 0;
    auto start = [&] {
        while (started < threads - 1 && ziv_thread_start(&tid[started], worker, &r))
            ++started;
    };
    // Asked for threads: they start at once, setting their cores up while this one decodes.
    if (r.segs && !automatic) start();

    // The calling thread: its own pieces from the start, then the workers' segments in order.
    int32_t front = 0, next_seg = -1, n = -1;
    bool straight = true;  // c stands at `front` after a straight decode (no seek needed)
    int64_t probe = 0;     // the thread's clock at the start of the probe piece
    if (!mpeg_core_prepare(c, data, len)) n = 0;
    while (n < 0) {
        int32_t to, state = kFailed;  // kFailed: frames this thread decodes itself
        ziv_mutex_lock(&r.lock);
        if (front >= limit || r.stopped.load()) {
            ziv_mutex_unlock(&r.lock);
            n = r.stopped.load() ? -1 : front;
            break;
        }
        if (front < r.back) {
            to = r.back - front > kPieceFrames ? front + kPieceFrames : r.back;
            r.claimed = to;
        } else {
            // The workers' ground: no segment is taken any more, the lowest is next.
            if (next_seg < 0) next_seg = r.count - 1;
            Segment* s = &r.segs[next_seg--];
            while (s->state == kBusy) ziv_cond_wait(&r.changed, &r.lock);
            to = s->to;
            state = s->state;
        }
        ziv_mutex_unlock(&r.lock);
        if (state == kDone) {
            front = to;
            straight = false;
            continue;
        }
        if (!straight) {
            *pos = mpeg_core_move_frame(c, front, len, 0);
            if (!mpeg_core_prepare(c, data, len)) {
                n = front;
                break;
            }
            straight = true;
        }
        const int64_t at = mpeg_core_range_bytes(c, 0, front);
        int32_t ok;
        if (out) {
            uint8_t* dst = out + at;
            memset(dst, 0, size_t(mpeg_core_range_bytes(c, front, to)));  // as decode_segment
            ok = mpeg_core_decode_on(c, data, len, pos, front, to, kPieceFrames, dst, 1, nullptr,
                                     nullptr, 0);
        } else {
            ok = buf && mpeg_core_decode_on(c, data, len, pos, front, to, kPieceFrames, buf, 0,
                                            put_piece, &r, at);
        }
        if (!ok) {
            // A frame that did not decode as its number says: nothing after it can be joined;
            // the caller's decode reads on from `front`.
            n = r.stopped.load() ? -1 : front;
            break;
        }
        // The cost of one piece, measured on the second (the first sets tables up): threads
        // start where the rest would take this thread long enough to pay for them.
        if (automatic && threads > 1 && started == 0 && r.segs) {
            if (to == kPieceFrames) {
                probe = ziv_thread_clock_ns();
            } else if (to == 2 * kPieceFrames && probe > 0) {
                const int64_t per_frame = (ziv_thread_clock_ns() - probe) / kPieceFrames;
                if (per_frame * (limit - to) > kPaysAfterNs) start();
            }
        }
        front = to;
    }

    ziv_mutex_lock(&r.lock);
    r.stop = 1;
    ziv_mutex_unlock(&r.lock);
    for (int32_t k = 0; k < started; ++k) ziv_thread_join(tid[k]);
    ziv_mutex_destroy(&r.lock);
    ziv_cond_destroy(&r.changed);
    free(r.segs);
    free(buf);
    if (n > 0) {
        *pos = mpeg_core_move_frame(c, n, len, 0);
    } else if (n == 0) {
        *pos = mpeg_core_move_frame(c, 0, len, 0);
    }
    return n;
}

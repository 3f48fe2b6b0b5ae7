// The masks phase for every instruction set: L::WIDTH seeds to a register, L::MASK_SETS
// registers at once. Each lane runs its seed's generator by the same rejection draws as
// build_mask_from; when a lane has cleared its pass's q flags it records its state word and
// flags, jumps its generator past the pass's 128 coupled draws and starts the next pass.
// Included by lanes_kernel.h, in the including file's own namespace (LANES_NAMESPACE).
#ifndef AGREEMENT_SWEEP_LANES_MASKS_H
#define AGREEMENT_SWEEP_LANES_MASKS_H

#include <cstdint>

#include "lanes_inline.h"
#include "seed_lanes.h"
#include "synth.h"

#ifndef LANES_NAMESPACE
#error "LANES_NAMESPACE must name the including file's own namespace"
#endif

namespace LANES_NAMESPACE {

constexpr std::uint32_t FINISHED = 0x7FFFFFFFU; // a target no count reaches

// The index of the lowest set bit of x, which isn't 0.
inline int lowest_bit(unsigned x)
{
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctz(x);
#else
    int bit = 0;
    while ((x & 1U) == 0) {
        x >>= 1;
        ++bit;
    }
    return bit;
#endif
}

// The flag words of a fresh mask: every step set, index 127 (bit 0 of word 3) clear.
constexpr std::uint32_t FRESH_WORD[4] = {0xFFFFFFFFU, 0xFFFFFFFFU, 0xFFFFFFFFU, 0xFFFFFFFEU};

// One register of seeds: their generators, flags, flags cleared so far and the count that
// ends the pass.
template <class L> struct lane_set {
    typename L::words state;
    typename L::words flags[4];
    typename L::words cleared;
    typename L::words target;
};

// Step 2: one draw per lane, its step index, and that index's flag cleared; step 3: a draw
// whose flag was still set counts. Returns the bits of the lanes whose count reached the
// pass's target.
template <class L>
LANES_INLINE unsigned draw_once(lane_set<L> *v, typename L::words multiplier,
                                typename L::words increment)
{
    typedef typename L::words words;
    v->state = L::add_words(L::multiply_low(v->state, multiplier), increment);
    const words raw = L::and_words(L::template shift_right<16>(v->state), L::set_words(RANDOM_MAX));
    // floor(raw * 127 / 32767) = (raw * 32513) >> 23 for every raw 0 .. 32767.
    const words index = L::template shift_right<7>(L::multiply_high_u16(raw, L::set_words(32513)));
    words hit = L::set_words(0);
    LANES_UNROLLED
    for (int w = 0; w < 4; ++w) {
        const words bit = L::index_bit(index, w);
        hit = L::or_words(hit, L::and_words(v->flags[w], bit));
        v->flags[w] = L::and_not_words(bit, v->flags[w]);
    }
    v->cleared = L::count_nonzero(v->cleared, hit);
    return L::lane_bits(L::equal_words(v->cleared, v->target));
}

// Step 4: records the passes of the lanes in lanes_done (seeds first_seed onwards) and
// starts their next ones past the passes' coupled draws. Inlined, so that the sets stay in
// registers through it.
template <class L>
LANES_INLINE void start_next_passes(lane_set<L> *v, unsigned lanes_done, int first_seed,
                                    typename L::words jump_multiplier,
                                    typename L::words jump_increment, int *pass, int *unfinished,
                                    pass_draws *draws)
{
    constexpr int W = L::WIDTH;
    alignas(64) std::uint32_t words_of[5][W];
    L::store_words(words_of[0], v->state);
    for (int w = 0; w < 4; ++w) {
        L::store_words(words_of[1 + w], v->flags[w]);
    }
    for (unsigned left = lanes_done; left != 0; left &= left - 1) {
        const int lane = lowest_bit(left);
        const int seed = first_seed + lane;
        const int q = pass[seed];
        draws[seed].state[q] = words_of[0][lane];
        for (int w = 0; w < 4; ++w) {
            draws[seed].flags[w][q] = words_of[1 + w][lane];
        }
        pass[seed] = q + 1;
        *unfinished -= q + 1 == PASS_COUNT ? 1 : 0;
    }
    const typename L::word_choice done = L::equal_words(v->cleared, v->target);
    v->state = L::select_words(
        done, L::add_words(L::multiply_low(v->state, jump_multiplier), jump_increment), v->state);
    for (int w = 0; w < 4; ++w) {
        v->flags[w] = L::select_words(done, L::set_words(FRESH_WORD[w]), v->flags[w]);
    }
    v->cleared = L::select_words(done, L::set_words(0), v->cleared);
    // The next pass clears one flag more; after the last, the target is 128, which no count
    // reaches (127 flags).
    v->target = L::select_words(done, L::add_words(v->target, L::set_words(1)), v->target);
}

// Step 1: the reference's draws skipped (signal jumps past them), pass 0 recorded (it clears
// nothing), every lane past the block's seeds finished from the start. Returns how many lanes
// have passes left to draw.
template <class L>
LANES_INLINE int start_lanes(const std::uint32_t *seeds, int count, const draw_jump &signal,
                             pass_draws *draws, int *pass, lane_set<L> *sets)
{
    constexpr int W = L::WIDTH;
    constexpr int SETS = L::MASK_SETS;
    constexpr int SEEDS = SETS * W;
    alignas(64) std::uint32_t state[SETS][W];
    alignas(64) std::uint32_t target[SETS][W];
    int unfinished = 0;
    for (int lane = 0; lane < SEEDS; ++lane) {
        std::uint32_t *word = &state[lane / W][lane % W];
        pass[lane] = PASS_COUNT;
        target[lane / W][lane % W] = FINISHED;
        *word = 0;
        if (lane >= count) {
            continue;
        }
        *word = signal.multiplier * seeds[lane] + signal.increment;
        draws[lane].state[0] = *word;
        for (int w = 0; w < 4; ++w) {
            draws[lane].flags[w][0] = FRESH_WORD[w];
        }
        *word = signal.multiplier * *word + signal.increment;
        pass[lane] = 1;
        target[lane / W][lane % W] = 1;
        ++unfinished;
    }
    for (int s = 0; s < SETS; ++s) {
        sets[s].state = L::load_words(state[s]);
        for (int w = 0; w < 4; ++w) {
            sets[s].flags[w] = L::set_words(FRESH_WORD[w]);
        }
        sets[s].cleared = L::set_words(0);
        sets[s].target = L::load_words(target[s]);
    }
    return unfinished;
}

// The masks of a block's passes: steps 1 to 4 for every set of lanes.
template <class L>
LANES_NOINLINE void draw_passes_with(const std::uint32_t *seeds, int count, pass_draws *draws)
{
    typedef typename L::words words;
    constexpr int W = L::WIDTH;
    // Registers of seeds run together, which hides the generator's latency.
    constexpr int SETS = L::MASK_SETS;
    constexpr int SEEDS = SETS * W;
    static_assert(LANE_SEEDS % SEEDS == 0, "a block of seeds fills whole runs of this phase");

    const draw_jump signal = jump_past(SIGNAL_LENGTH);
    int pass[SEEDS];
    lane_set<L> sets[SETS];
    int unfinished = start_lanes<L>(seeds, count, signal, draws, pass, sets);

    const words multiplier = L::set_words(RANDOM_MULTIPLIER);
    const words increment = L::set_words(RANDOM_INCREMENT);
    const words jump_multiplier = L::set_words(signal.multiplier);
    const words jump_increment = L::set_words(signal.increment);
    while (unfinished > 0) {
        // Steps 2 and 3 on every set at once until a lane of some set finishes: a lane
        // finishes a pass about every 127 draws, so most rounds end here.
        unsigned lanes_done[SETS];
        unsigned any_done = 0;
        do {
            LANES_UNROLLED
            for (int s = 0; s < SETS; ++s) {
                lanes_done[s] = draw_once<L>(&sets[s], multiplier, increment);
                any_done |= lanes_done[s];
            }
        } while (any_done == 0);
        LANES_UNROLLED
        for (int s = 0; s < SETS; ++s) {
            if (lanes_done[s] != 0) {
                start_next_passes<L>(&sets[s], lanes_done[s], s * W, jump_multiplier,
                                     jump_increment, pass, &unfinished, draws);
            }
        }
    }
}

} // namespace LANES_NAMESPACE

#endif

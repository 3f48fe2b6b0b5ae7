// The sums' canonical bytes: writing them, and reading them back with every field checked.
//
// seeds (u64); the lanes' digit sums (i64, lane by lane, pass by pass); the number of tails (u32);
// then each tail in slot order: its slot (u32), NaN, +inf and -inf counts (u64) and its settled
// limbs (i64). Everything little-endian.
#include <algorithm>
#include <memory>

#include "sums.h"
#include "tail_arith.h"

namespace {

constexpr std::uint64_t LOW_32 = 0xFFFFFFFFU;

void put_u64(std::string *bytes, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i) {
        bytes->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

void put_u32(std::string *bytes, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        bytes->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

bool get_u64(const unsigned char **at, const unsigned char *end, std::uint64_t *v)
{
    if (end - *at < 8) {
        return false;
    }
    *v = 0;
    for (int i = 0; i < 8; ++i) {
        *v |= static_cast<std::uint64_t>((*at)[i]) << (8 * i);
    }
    *at += 8;
    return true;
}

bool get_u32(const unsigned char **at, const unsigned char *end, std::uint32_t *v)
{
    if (end - *at < 4) {
        return false;
    }
    *v = 0;
    for (int i = 0; i < 4; ++i) {
        *v |= static_cast<std::uint32_t>((*at)[i]) << (8 * i);
    }
    *at += 4;
    return true;
}

// Reads one tail's counts and settled limbs; false unless each limb but the top is in
// [0, 2^32) and the top within what 2^32 squares of doubles can reach.
bool read_tail(const unsigned char **at, const unsigned char *end, sum_tail *tail)
{
    clear_tail(tail);
    if (!get_u64(at, end, &tail->nan) || !get_u64(at, end, &tail->positive_inf) ||
        !get_u64(at, end, &tail->negative_inf)) {
        return false;
    }
    for (int i = 0; i < TAIL_LIMBS; ++i) {
        std::uint64_t limb;
        if (!get_u64(at, end, &limb)) {
            return false;
        }
        tail->limbs[i] = static_cast<std::int64_t>(limb);
        const bool top = i == TAIL_LIMBS - 1;
        if (top ? (tail->limbs[i] < -(std::int64_t{1} << 31) ||
                   tail->limbs[i] >= (std::int64_t{1} << 31))
                : limb > LOW_32) {
            return false;
        }
    }
    return true;
}

} // namespace

void write_sums(std::string *bytes, const pass_sums &sums)
{
    put_u64(bytes, sums.seeds);
    for (int l = 0; l < SUM_LANES; ++l) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            put_u64(bytes, static_cast<std::uint64_t>(lane_sum(sums, l, q)));
        }
    }
    const std::uint32_t tails = static_cast<std::uint32_t>(
        std::count_if(sums.tails.begin(), sums.tails.end(),
                      [](const std::unique_ptr<sum_tail> &tail) { return tail != nullptr; }));
    put_u32(bytes, tails);
    for (std::size_t slot = 0; slot < sums.tails.size(); ++slot) {
        if (!sums.tails[slot]) {
            continue;
        }
        sum_tail settled = *sums.tails[slot];
        settle_tail(&settled);
        put_u32(bytes, static_cast<std::uint32_t>(slot));
        put_u64(bytes, settled.nan);
        put_u64(bytes, settled.positive_inf);
        put_u64(bytes, settled.negative_inf);
        for (std::int64_t limb : settled.limbs) {
            put_u64(bytes, static_cast<std::uint64_t>(limb));
        }
    }
}

bool read_sums(const unsigned char **at, const unsigned char *end, pass_sums *sums)
{
    const unsigned char *next = *at;
    std::unique_ptr<pass_sums> read(new pass_sums);
    if (!get_u64(&next, end, &read->seeds) || read->seeds > (std::uint64_t{1} << 32)) {
        return false;
    }
    for (int l = 0; l < SUM_LANES; ++l) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            std::uint64_t lane;
            if (!get_u64(&next, end, &lane)) {
                return false;
            }
            read->lanes[l][q] = lane + read->seeds * LANE_BIAS[l];
        }
    }
    std::uint32_t tails;
    if (!get_u32(&next, end, &tails) || tails > SUM_QUANTITIES * PASS_COUNT) {
        return false;
    }
    std::int64_t last_slot = -1;
    for (std::uint32_t t = 0; t < tails; ++t) {
        std::uint32_t slot;
        if (!get_u32(&next, end, &slot) || slot >= SUM_QUANTITIES * PASS_COUNT ||
            static_cast<std::int64_t>(slot) <= last_slot) {
            return false;
        }
        last_slot = slot;
        if (!read_tail(&next, end,
                       tail_of(read.get(), static_cast<int>(slot / PASS_COUNT),
                               static_cast<int>(slot % PASS_COUNT)))) {
            return false;
        }
    }
    *sums = std::move(*read);
    *at = next;
    return true;
}

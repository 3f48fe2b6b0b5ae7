// The moment engine's parts, private to the theory room: the level's Gauss-Legendre nodes, and
// the plan of monomials and step rules the engine carries from one level to the next.
#ifndef AGREEMENT_SWEEP_ENGINE_PLAN_H
#define AGREEMENT_SWEEP_ENGINE_PLAN_H

#include <array>
#include <cstddef>
#include <initializer_list>
#include <map>
#include <vector>

// ---- The level's nodes ----

constexpr int NODES = 12;

constexpr int MOST_POWER = 4;     // the highest power of the old level a step's polynomial holds
constexpr int MOST_NEW_POWER = 6; // and of the new level

struct level_nodes {
    double x[NODES];      // nodes on [-1/2, 1/2]
    double weight[NODES]; // their weights, summing to 1: the level's density is 1
    // lower[p][i][m]: the integral from -1/2 to x[i] of l_m(x) x^p, l_m the Lagrange basis
    // polynomial of node m; exact, by the same rule mapped onto [-1/2, x[i]], for degree 11 + p.
    double lower[MOST_POWER + 1][NODES][NODES];
    double power[NODES][MOST_NEW_POWER + 1]; // x[i]^p
};

// Returns the 12-point Gauss-Legendre rule halved onto [-1/2, 1/2], with its tables above.
level_nodes make_nodes();

// ---- The engine's monomials and step rules ----

// The state (z, Z, W, P, Szz, Sww) after a level, then the step's own variables: the old
// level x, the new level x', the draw U and the indicator A that the coupled step goes up.
enum variable { V_Z1, V_ZSUM, V_WSUM, V_P, V_SZZ, V_SWW, V_X, V_XNEW, V_U, V_A, VARIABLES };
constexpr int STATE_VARIABLES = V_X;

// A state monomial's exponents of (z, Z, W, P, Szz, Sww).
typedef std::array<unsigned char, STATE_VARIABLES> monomial;

// Returns the monomial with the given exponents of (z, Z, W, P, Szz, Sww), the rest 0.
monomial make_monomial(std::initializer_list<int> counts);

// Returns the product of two monomials: their exponents added.
monomial times(const monomial &a, const monomial &b);

// The blocks whose first and second moments give C, Vz and Vw: P, Z W, Szz, Z^2, Sww, W^2.
constexpr int BLOCKS = 6;
constexpr monomial BLOCK[BLOCKS] = {monomial{{0, 0, 0, 1, 0, 0}}, monomial{{0, 1, 1, 0, 0, 0}},
                                    monomial{{0, 0, 0, 0, 1, 0}}, monomial{{0, 2, 0, 0, 0, 0}},
                                    monomial{{0, 0, 0, 0, 0, 1}}, monomial{{0, 0, 2, 0, 0, 0}}};

// What a step integrates over the old level: an old monomial's function times x^old_power,
// over the whole range, or (indicator) below each new node.
struct engine_source {
    int old_index;
    int old_power;
    bool indicator;
};

// One new monomial's share of a source on one branch (0 agree, 1 disagree: the count moves
// up one), weighted at each new node by a polynomial in the new level. On the disagreeing
// branch an indicator source is taken above the node: whole minus below.
struct engine_term {
    int target;
    int branch;
    std::size_t source;
    std::size_t whole;                   // the same old monomial and power over the whole range
    double coef[NODES];                  // the weight at each new node
    double by_power[MOST_NEW_POWER + 1]; // the same weight as a polynomial in the new level
};

struct engine_plan {
    std::vector<monomial> monomials;    // the closure, in order of discovery
    std::map<monomial, int> index;      // and each one's place
    std::vector<engine_source> sources; // every integral a step takes
    std::vector<engine_term> terms;     // and how the new monomials combine them
};

// Returns the closure of the targets (1, z, z^2, the blocks and their products) under one
// step, and its rules at coupling k. The structure doesn't depend on k (a coefficient that
// vanishes at k = 0 or 1 stays a zero term). Throws std::logic_error where a step's polynomial
// exceeds MOST_POWER or MOST_NEW_POWER.
engine_plan make_plan(const level_nodes &nodes, double k);

#endif

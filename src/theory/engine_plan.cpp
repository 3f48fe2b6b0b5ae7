// The moment engine's plan: the polynomials a step makes of each monomial of the running sums,
// the closure of the targets under a step, and the rules that carry them to the next level.
#include <array>
#include <cstddef>
#include <map>
#include <stdexcept>
#include <vector>

#include "engine_plan.h"

namespace {

// ---- Polynomials in the state and the step's variables ----

typedef std::array<unsigned char, VARIABLES> exponents;
typedef std::map<exponents, double> polynomial;

polynomial single(int var, double coef)
{
    exponents e = {};
    e[var] = 1;
    return polynomial{{e, coef}};
}

polynomial constant(double coef)
{
    return polynomial{{exponents{}, coef}};
}

polynomial add(const polynomial &a, const polynomial &b)
{
    polynomial sum = a;
    for (const auto &term : b) {
        sum[term.first] += term.second;
    }
    return sum;
}

polynomial multiply(const polynomial &a, const polynomial &b)
{
    polynomial product;
    for (const auto &ta : a) {
        for (const auto &tb : b) {
            exponents e = ta.first;
            for (int v = 0; v < VARIABLES; ++v) {
                e[v] = static_cast<unsigned char>(e[v] + tb.first[v]);
            }
            product[e] += ta.second * tb.second;
        }
    }
    return product;
}

polynomial power(const polynomial &a, int n)
{
    polynomial result = constant(1.0);
    for (int i = 0; i < n; ++i) {
        result = multiply(result, a);
    }
    return result;
}

// The exponents once the draw is averaged out and the indicator reduced (A^m = A).
exponents without_draw(exponents e)
{
    e[V_U] = 0;
    e[V_A] = static_cast<unsigned char>(e[V_A] > 0 ? 1 : 0);
    return e;
}

// The monomial after one step, as a polynomial in the state before it and the step's
// variables, averaged over the draw (E[U^m] = 1/(m + 1)) with A^m = A.
polynomial step_polynomial(const monomial &m, double k, double e)
{
    const double c = 1.0 - k;
    // z' = z - c U z + c U A - (c / 2) U + k e x' - k e x
    polynomial z_new = single(V_Z1, 1.0);
    z_new = add(z_new, multiply(single(V_U, -c), single(V_Z1, 1.0)));
    z_new = add(z_new, multiply(single(V_U, c), single(V_A, 1.0)));
    z_new = add(z_new, single(V_U, -c / 2.0));
    z_new = add(z_new, single(V_XNEW, k * e));
    z_new = add(z_new, single(V_X, -k * e));
    const polynomial x_new = single(V_XNEW, 1.0);
    const polynomial updated[STATE_VARIABLES] = {z_new,
                                                 add(single(V_ZSUM, 1.0), z_new),
                                                 add(single(V_WSUM, 1.0), x_new),
                                                 add(single(V_P, 1.0), multiply(z_new, x_new)),
                                                 add(single(V_SZZ, 1.0), multiply(z_new, z_new)),
                                                 add(single(V_SWW, 1.0), multiply(x_new, x_new))};
    polynomial result = constant(1.0);
    for (int v = 0; v < STATE_VARIABLES; ++v) {
        result = multiply(result, power(updated[v], m[v]));
    }
    polynomial averaged;
    for (const auto &term : result) {
        const double draw_mean = 1.0 / static_cast<double>(term.first[V_U] + 1);
        averaged[without_draw(term.first)] += term.second * draw_mean;
    }
    return averaged;
}

monomial state_part(const exponents &e)
{
    monomial m = {};
    for (int v = 0; v < STATE_VARIABLES; ++v) {
        m[v] = e[v];
    }
    return m;
}

int place_of(engine_plan *plan, const monomial &m)
{
    const auto found = plan->index.find(m);
    if (found != plan->index.end()) {
        return found->second;
    }
    const int place = static_cast<int>(plan->monomials.size());
    plan->monomials.push_back(m);
    plan->index[m] = place;
    return place;
}

// Step 1: the targets (1, z, z^2, the blocks and their products), then every monomial a step
// makes of them, from a generic coupling, so that no term is lost where k makes it zero.
void add_closure(engine_plan *plan)
{
    place_of(plan, monomial{});
    place_of(plan, make_monomial({1, 0, 0, 0, 0, 0}));
    place_of(plan, make_monomial({2, 0, 0, 0, 0, 0}));
    for (int a = 0; a < BLOCKS; ++a) {
        place_of(plan, BLOCK[a]);
        for (int b = a; b < BLOCKS; ++b) {
            place_of(plan, times(BLOCK[a], BLOCK[b]));
        }
    }
    for (int branch = 0; branch < 2; ++branch) {
        const double e = branch == 0 ? 1.0 : -1.0;
        for (std::size_t i = 0; i < plan->monomials.size(); ++i) {
            const polynomial generic = step_polynomial(plan->monomials[i], 0.375, e);
            for (const auto &term : generic) {
                place_of(plan, state_part(term.first));
            }
        }
    }
}

// Each source's place in the plan, by (old monomial, old power, indicator).
typedef std::map<std::array<int, 3>, std::size_t> source_places;

std::size_t source_of(engine_plan *plan, source_places *places, int old_index, int old_power,
                      bool indicator)
{
    const std::array<int, 3> key = {old_index, old_power, indicator ? 1 : 0};
    const auto found = places->find(key);
    if (found != places->end()) {
        return found->second;
    }
    plan->sources.push_back(engine_source{old_index, old_power, indicator});
    (*places)[key] = plan->sources.size() - 1;
    return plan->sources.size() - 1;
}

// Step 2: monomial i's rule on one branch at coupling k: a term per source it takes.
void add_rules(const level_nodes &nodes, double k, int branch, std::size_t i, source_places *places,
               engine_plan *plan)
{
    const double e = branch == 0 ? 1.0 : -1.0;
    std::map<std::size_t, std::size_t> term_of_source;
    for (const auto &term : step_polynomial(plan->monomials[i], k, e)) {
        const int old_power = term.first[V_X];
        const int new_power = term.first[V_XNEW];
        if (old_power > MOST_POWER || new_power > MOST_NEW_POWER) {
            throw std::logic_error("a step's polynomial exceeds the engine's powers");
        }
        const int old_index = plan->index.at(state_part(term.first));
        const bool indicator = term.first[V_A] != 0;
        const std::size_t whole = source_of(plan, places, old_index, old_power, false);
        const std::size_t source = source_of(plan, places, old_index, old_power, indicator);
        auto found = term_of_source.find(source);
        if (found == term_of_source.end()) {
            engine_term fresh = {static_cast<int>(i), branch, source, whole, {}, {}};
            plan->terms.push_back(fresh);
            found = term_of_source.emplace(source, plan->terms.size() - 1).first;
        }
        for (int node = 0; node < NODES; ++node) {
            plan->terms[found->second].coef[node] += term.second * nodes.power[node][new_power];
        }
        plan->terms[found->second].by_power[new_power] += term.second;
    }
}

} // namespace

monomial make_monomial(std::initializer_list<int> counts)
{
    monomial m = {};
    int v = 0;
    for (const int count : counts) {
        m[v++] = static_cast<unsigned char>(count);
    }
    return m;
}

monomial times(const monomial &a, const monomial &b)
{
    monomial m = {};
    for (int v = 0; v < STATE_VARIABLES; ++v) {
        m[v] = static_cast<unsigned char>(a[v] + b[v]);
    }
    return m;
}

engine_plan make_plan(const level_nodes &nodes, double k)
{
    engine_plan plan;
    add_closure(&plan);
    source_places places;
    for (int branch = 0; branch < 2; ++branch) {
        for (std::size_t i = 0; i < plan.monomials.size(); ++i) {
            add_rules(nodes, k, branch, i, &places, &plan);
        }
    }
    return plan;
}

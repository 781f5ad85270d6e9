// RandomDraw: a random chain description, compiled once from the form kavri.random_chain
// gives it, drawing concrete chains for (seed, index) pairs natively. The walk is the one
// the description's module documents, draw for draw, on the same Philox-4x64-10 words, with
// every value worked out by the same double operations the Python draw makes (the bounds,
// spans, logarithms and weight totals it needs come precomputed from Python), so that it
// gives the same chains as RandomChain.sample: the same numbers, of the same Python types.
#include "module/draw_binding.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "engine/draw/philox.hpp"
#include "module/interpreter.hpp"

namespace py = pybind11;

namespace kavri {

namespace {

enum class Draw : int {
    constant = 0,
    uniform = 1,
    log_uniform = 2,
    int_uniform = 3,
    int_log_uniform = 4,
    choice = 5,
};

struct Param {
    py::str key;
    Draw kind = Draw::constant;
    py::object constant;  // constant: the value; choice: the tuple of values
    double a = 0.0;       // uniform: lo; log forms: ln lo
    double b = 0.0;       // uniform: hi - lo; log forms: the span of the logarithms
    double lo = 0.0;
    double hi = 0.0;
    long long int_lo = 0;
    long long int_hi = 0;
    std::size_t choices = 0;
};

struct Node {
    int type = 0;  // 0 effect, 1 one_of, 2 some_of
    bool has_p = false;
    double p = 0.0;
    // effect
    py::str effect_type;
    std::vector<Param> params;
    // one_of
    double total = 0.0;
    std::vector<double> weights;
    std::size_t fallback = 0;
    // some_of
    long long count_lo = 0;
    long long count_hi = 0;
    std::vector<std::unique_ptr<Node>> items;
};

// The deepest nesting of one_of and some_of a form may have: the walk recurses once a level.
constexpr int kMostDepth = 200;

std::unique_ptr<Node> compile(const py::handle& form, int depth);

// A part of the form as a tuple of at least `size` items. The form comes from
// kavri.random_chain; anything else is refused here rather than read as a tuple.
py::tuple tuple_of(const py::handle& value, std::size_t size, const char* what) {
    if (!py::isinstance<py::tuple>(value)) {
        throw py::type_error(std::string("RandomDraw: ") + what + " must be a tuple");
    }
    auto t = py::reinterpret_borrow<py::tuple>(value);
    if (t.size() < size) {
        throw py::value_error(std::string("RandomDraw: ") + what + " must have at least " +
                              std::to_string(size) + " items");
    }
    return t;
}

std::vector<std::unique_ptr<Node>> compile_items(const py::handle& items, int depth) {
    std::vector<std::unique_ptr<Node>> nodes;
    for (const py::handle item : tuple_of(items, 0, "a list of items")) {
        nodes.push_back(compile(item, depth));
    }
    return nodes;
}

std::unique_ptr<Node> compile(const py::handle& form, int depth) {
    if (depth > kMostDepth) {
        throw py::value_error("RandomDraw: the form nests deeper than " +
                              std::to_string(kMostDepth) + " levels");
    }
    const auto t = tuple_of(form, 3, "an item");
    auto node = std::make_unique<Node>();
    node->type = py::cast<int>(t[0]);
    if (node->type < 0 || node->type > 2) {
        throw py::value_error("RandomDraw: an item's kind must be 0, 1 or 2");
    }
    node->has_p = !t[1].is_none();
    node->p = node->has_p ? py::cast<double>(t[1]) : 0.0;
    if (node->type == 0) {
        const auto effect = tuple_of(form, 4, "an effect");
        node->effect_type = py::str(effect[2]);
        for (const py::handle raw : tuple_of(effect[3], 0, "params")) {
            const auto entry = tuple_of(raw, 3, "a param");
            Param param;
            param.key = py::str(entry[0]);
            const int kind = py::cast<int>(entry[1]);
            if (kind < 0 || kind > static_cast<int>(Draw::choice)) {
                throw py::value_error("RandomDraw: a param's draw must be 0 to 5");
            }
            param.kind = static_cast<Draw>(kind);
            const py::handle data = entry[2];
            switch (param.kind) {
                case Draw::constant:
                    param.constant = py::reinterpret_borrow<py::object>(data);
                    break;
                case Draw::choice:
                    param.constant = tuple_of(data, 1, "a choice");
                    param.choices = py::len(data);
                    break;
                case Draw::int_uniform: {
                    const auto d = tuple_of(data, 2, "a whole-number range");
                    param.int_lo = py::cast<long long>(d[0]);
                    param.int_hi = py::cast<long long>(d[1]);
                    long long span = 0;
                    if (param.int_lo > param.int_hi ||
                        __builtin_sub_overflow(param.int_hi, param.int_lo, &span)) {
                        throw py::value_error("RandomDraw: a whole-number range is out of order");
                    }
                    break;
                }
                default: {
                    const auto d = tuple_of(data, 4, "a range");
                    param.a = py::cast<double>(d[0]);
                    param.b = py::cast<double>(d[1]);
                    if (param.kind == Draw::int_log_uniform) {
                        param.int_lo = py::cast<long long>(d[2]);
                        param.int_hi = py::cast<long long>(d[3]);
                    } else {
                        param.lo = py::cast<double>(d[2]);
                        param.hi = py::cast<double>(d[3]);
                    }
                    break;
                }
            }
            node->params.push_back(std::move(param));
        }
    } else if (node->type == 1) {
        const auto one_of = tuple_of(form, 6, "a one_of");
        node->total = py::cast<double>(one_of[2]);
        node->weights = py::cast<std::vector<double>>(one_of[3]);
        node->fallback = py::cast<std::size_t>(one_of[4]);
        node->items = compile_items(one_of[5], depth + 1);
        if (node->items.empty() || node->weights.size() != node->items.size() ||
            node->fallback >= node->items.size()) {
            throw py::value_error(
                "RandomDraw: a one_of needs items, a weight for each and a fallback among them");
        }
    } else {
        const auto some_of = tuple_of(form, 5, "a some_of");
        node->count_lo = py::cast<long long>(some_of[2]);
        node->count_hi = py::cast<long long>(some_of[3]);
        node->items = compile_items(some_of[4], depth + 1);
        if (node->count_lo < 0 || node->count_lo > node->count_hi ||
            node->count_hi > static_cast<long long>(node->items.size())) {
            throw py::value_error("RandomDraw: a some_of's counts must lie within its items");
        }
    }
    return node;
}

// min(max(value, lo), hi) as Python takes it: lo when lo > value, then hi when hi < that.
double held_within(double value, double lo, double hi) {
    if (lo > value) {
        value = lo;
    }
    if (hi < value) {
        value = hi;
    }
    return value;
}

long long held_within(long long value, long long lo, long long hi) {
    return value < lo ? lo : (value > hi ? hi : value);
}

py::object draw_value(const Param& param, double u) {
    switch (param.kind) {
        case Draw::constant:
            return param.constant;
        case Draw::uniform:
            return py::float_(held_within(param.a + param.b * u, param.lo, param.hi));
        case Draw::log_uniform:
            return py::float_(held_within(std::exp(param.a + param.b * u), param.lo, param.hi));
        case Draw::int_uniform: {
            // hi - lo + 1 reaches 2^63, and a step rounded up can pass hi: counted unsigned and
            // held at hi, as Python's integers count and hold them.
            const auto span = static_cast<unsigned long long>(param.int_hi - param.int_lo);
            const auto step =
                static_cast<unsigned long long>(std::floor(u * static_cast<double>(span + 1ULL)));
            return py::int_(step > span ? param.int_hi
                                        : param.int_lo + static_cast<long long>(step));
        }
        case Draw::int_log_uniform: {
            const double value = std::floor(std::exp(param.a + param.b * u));
            // Far outside the range the value is held at its end, as Python's comparison holds it.
            const long long whole = value < static_cast<double>(param.int_lo) ? param.int_lo
                                    : value > static_cast<double>(param.int_hi)
                                        ? param.int_hi
                                        : static_cast<long long>(value);
            return py::int_(held_within(whole, param.int_lo, param.int_hi));
        }
        case Draw::choice: {
            const double n = static_cast<double>(param.choices);
            const double at = std::floor(u * n);
            const std::size_t index =
                at >= n - 1.0 ? param.choices - 1 : static_cast<std::size_t>(at);
            return py::reinterpret_borrow<py::tuple>(param.constant)[index];
        }
    }
    return py::none();
}

class Walk {
public:
    Walk(std::uint64_t seed, std::uint64_t index, const py::str& type_key)
        : bits_(seed, index), type_key_(type_key) {}

    void visit(const Node& node, py::list& out) {
        if (node.has_p && !(bits_.uniform() < node.p)) {
            return;
        }
        if (node.type == 0) {
            py::dict spec;
            spec[type_key_] = node.effect_type;
            for (const Param& param : node.params) {
                spec[param.key] =
                    draw_value(param, param.kind == Draw::constant ? 0.0 : bits_.uniform());
            }
            out.append(std::move(spec));
        } else if (node.type == 1) {
            const double target = bits_.uniform() * node.total;
            double running = 0.0;
            std::size_t chosen = node.fallback;
            for (std::size_t i = 0; i < node.weights.size(); ++i) {
                running += node.weights[i];
                if (target < running) {
                    chosen = i;
                    break;
                }
            }
            visit(*node.items[chosen], out);
        } else {
            const double span = static_cast<double>(node.count_hi - node.count_lo + 1);
            const long long count =
                std::min(node.count_lo + static_cast<long long>(std::floor(bits_.uniform() * span)),
                         node.count_hi);
            const auto total = static_cast<long long>(node.items.size());
            std::vector<const Node*> picked;
            for (long long i = 0; i < total; ++i) {
                const auto have = static_cast<long long>(picked.size());
                if (have == count) {
                    break;
                }
                if (bits_.uniform() * static_cast<double>(total - i) <
                    static_cast<double>(count - have)) {
                    picked.push_back(node.items[static_cast<std::size_t>(i)].get());
                }
            }
            for (const Node* item : picked) {
                visit(*item, out);
            }
        }
    }

private:
    Philox4x64 bits_;
    const py::str& type_key_;
};

class RandomDraw {
public:
    explicit RandomDraw(const py::tuple& roots) : type_key_("type") {
        roots_ = compile_items(roots, 0);
    }

    py::list sample(std::uint64_t seed, std::uint64_t index) const {
        py::list out;
        Walk walk(seed, index, type_key_);
        for (const std::unique_ptr<Node>& root : roots_) {
            walk.visit(*root, out);
        }
        return out;
    }

    py::list sample_many(std::uint64_t seed, const std::vector<std::uint64_t>& indices) const {
        py::list chains(indices.size());
        for (std::size_t k = 0; k < indices.size(); ++k) {
            chains[k] = sample(seed, indices[k]);
        }
        return chains;
    }

private:
    std::vector<std::unique_ptr<Node>> roots_;
    py::str type_key_;
};

}  // namespace

void add_draw_bindings(py::module_& m) {
    unpicklable(
        py::class_<RandomDraw>(m, "RandomDraw",
                               "A random chain description compiled for drawing concrete chains."))
        .def(py::init<const py::tuple&>(), py::arg("roots"))
        .def("sample", &RandomDraw::sample, py::arg("seed"), py::arg("index"),
             "The concrete chain for (seed, index), as RandomChain.sample draws it.")
        .def("sample_many", &RandomDraw::sample_many, py::arg("seed"), py::arg("indices"),
             "The concrete chains for (seed, index) for every index given, in order.");
}

}  // namespace kavri

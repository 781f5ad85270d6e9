// The steps of a lane group, written once over a vector of floats V (and its mask type M of
// 32-bit integers, and U, the same bits unsigned) and compiled by one translation unit per
// instruction set, which includes this header with its own V and M inside a namespace of its own.
//
// A group's chunk holds R = kVectorsPerGroup vectors per frame (L = R W lanes): lane l of
// frame i at chunk[i L + l]. Each step works the R vectors of a frame side by side, so that
// two independent recurrences overlap where one would wait for its own last result.
//
// Every lane computes exactly what the scalar code of its effect computes for one channel:
// the same single-precision operations in the same order (the engine's flags keep them
// unfused), the branches of the scalar code as bit selects between both results. Steps that
// only a few lanes run, and the work that is per lane anyway (a delay line's reads and
// writes, the compressor's powers), go a lane at a time over the lane's row of the chunk.
//
// Nothing here may instantiate a template of the standard library: those copies would be
// shared with the rest of the program and could be built for an instruction set the
// machine lacks.

template <typename V, typename M, typename U, int Vectors>
struct LaneKernels {
    static constexpr int W = static_cast<int>(sizeof(V) / sizeof(float));
    static constexpr int R = Vectors;
    static constexpr int L = R * W;
    static constexpr std::size_t SL = static_cast<std::size_t>(L);

    static V load(const float* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(float* p, V v) { std::memcpy(p, &v, sizeof v); }
    // A lane's W output samples. Where they fill one whole, aligned cache line (16 lanes), a
    // streaming store writes it without reading it first; the run ends with a fence.
    static void store_out(float* p, V v) {
#if defined(KAVRI_LANES_STREAM_STORE)
        if constexpr (sizeof(V) == 64) {
            if (reinterpret_cast<std::uintptr_t>(p) % 64 == 0) {
                stream_store(p, v);
                return;
            }
        }
#endif
        store(p, v);
    }
    static V splat(float x) {
        V v;
        for (int l = 0; l < W; ++l) {
            v[l] = x;
        }
        return v;
    }
    // Where vector r of a group's per-lane values starts.
    static std::size_t vector_offset(int r) {
        return static_cast<std::size_t>(r) * static_cast<std::size_t>(W);
    }
    static bool has(std::uint32_t bits, int l) {
        return ((bits >> static_cast<unsigned>(l)) & 1U) != 0;
    }
    // The mask of vector r of a group from the group's lane bits.
    static M mask_of(std::uint32_t bits, int r) {
        M m;
        for (int l = 0; l < W; ++l) {
            m[l] = has(bits, r * W + l) ? -1 : 0;
        }
        return m;
    }
    // a where the mask is set, b elsewhere, bit for bit.
    static V select(M m, V a, V b) {
        const U bits = (U)m;
        return (V)(((U)a & bits) | ((U)b & ~bits));
    }
    static V fabs(V x) { return (V)((U)x & 0x7fffffffU); }
    static M both(M a, M b) { return (M)((U)a & (U)b); }
    // [a[i0] or b[i0 - W], ...]: one instruction where the processor has it. clang, which
    // only parses this file for the linter, lacks GCC's two-vector shuffle.
    static V shuffle(V a, V b, M index) {
#if defined(__clang__)
        V out;
        for (int l = 0; l < W; ++l) {
            out[l] = index[l] < W ? a[index[l]] : b[index[l] - W];
        }
        return out;
#else
        return __builtin_shuffle(a, b, index);
#endif
    }

    // Frames of lane l present in the chunk of n frames from `first`.
    static std::size_t present(const LaneJob& job, int l, std::uint64_t first, std::size_t n) {
        if (l >= job.lanes || job.frames[l] <= first) {
            return 0;
        }
        const std::uint64_t left = job.frames[l] - first;
        return left < n ? static_cast<std::size_t>(left) : n;
    }

    // Transposes W vectors in place (row r, lane l becomes row l, lane r) in the steps the
    // processor runs fastest: interleaves within each 128-bit block (pairs of floats, then
    // pairs of pairs), which transpose every 4 x 4 block in place, then rounds that swap the
    // 128-bit blocks between rows s apart.
    static M pattern(int kind) {
        M m;
        for (int j = 0; j < W / 4; ++j) {
            for (int q = 0; q < 4; ++q) {
                const int o = 4 * j + q;
                switch (kind) {
                    case 0:  // a0 b0 a1 b1 in each block
                        m[o] = (q % 2 == 0 ? 0 : W) + 4 * j + q / 2;
                        break;
                    case 1:  // a2 b2 a3 b3
                        m[o] = (q % 2 == 0 ? 0 : W) + 4 * j + 2 + q / 2;
                        break;
                    case 2:  // a0 a1 b0 b1
                        m[o] = (q < 2 ? 0 : W) + 4 * j + q % 2;
                        break;
                    default:  // a2 a3 b2 b3
                        m[o] = (q < 2 ? 0 : W) + 4 * j + 2 + q % 2;
                        break;
                }
            }
        }
        return m;
    }
    // The even (odd) 128-bit blocks of a, then those of b.
    static M blocks(int odd) {
        M m;
        for (int o = 0; o < W; ++o) {
            const int block = o / 4;
            const int half = W / 8;  // blocks taken from each of a and b
            const int from_b = block >= (half > 0 ? half : 1) ? 1 : 0;
            const int source = 2 * (block - from_b * half) + odd;
            m[o] = from_b * W + 4 * source + o % 4;
        }
        return m;
    }

    // Full-width two-source permutes: log2(W) rounds of interleaving each row of the first
    // half with its partner in the second. Faster than the block shuffles at 16 lanes on the
    // processor measured (whose 512-bit block shuffles are slow), slower at 8.
    static void transpose_by_permutes(V* rows) {
        M low;
        M high;
        for (int k = 0; k < W / 2; ++k) {
            low[2 * k] = k;
            low[2 * k + 1] = W + k;
            high[2 * k] = W / 2 + k;
            high[2 * k + 1] = W + W / 2 + k;
        }
        for (int round = 1; round < W; round *= 2) {
            V next[W];
            for (int k = 0; k < W / 2; ++k) {
                next[2 * k] = shuffle(rows[k], rows[k + W / 2], low);
                next[2 * k + 1] = shuffle(rows[k], rows[k + W / 2], high);
            }
            for (int k = 0; k < W; ++k) {
                rows[k] = next[k];
            }
        }
    }

    static void transpose(V* rows) {
        if constexpr (W == 16) {
            transpose_by_permutes(rows);
            return;
        }
        const M lo_ps = pattern(0);
        const M hi_ps = pattern(1);
        const M lo_pd = pattern(2);
        const M hi_pd = pattern(3);
        V t[W];
        for (int k = 0; k < W; k += 2) {
            t[k] = shuffle(rows[k], rows[k + 1], lo_ps);
            t[k + 1] = shuffle(rows[k], rows[k + 1], hi_ps);
        }
        for (int k = 0; k < W; k += 4) {
            rows[k] = shuffle(t[k], t[k + 2], lo_pd);
            rows[k + 1] = shuffle(t[k], t[k + 2], hi_pd);
            rows[k + 2] = shuffle(t[k + 1], t[k + 3], lo_pd);
            rows[k + 3] = shuffle(t[k + 1], t[k + 3], hi_pd);
        }
        if constexpr (W > 4) {
            const M even = blocks(0);
            const M odd = blocks(1);
            for (int s = 4; s < W; s *= 2) {
                for (int k = 0; k + s < W; ++k) {
                    if ((k / s) % 2 == 0) {
                        const V a = rows[k];
                        const V b = rows[k + s];
                        rows[k] = shuffle(a, b, even);
                        rows[k + s] = shuffle(a, b, odd);
                    }
                }
            }
        }
    }

    // Whether every lane in use reads W whole frames from frame `at` of the chunk from
    // `first` one after the other (a channel of a mono item).
    static bool whole_rows(const LaneJob& job, std::uint64_t first, std::size_t at) {
        for (int l = 0; l < job.lanes; ++l) {
            if (job.stride[l] != 1 || job.frames[l] < first + at + W) {
                return false;
            }
        }
        return true;
    }

    static void gather(const LaneJob& job, std::uint64_t first, std::size_t n, float* chunk) {
        std::size_t done = 0;
        V rows[W];
        while (done + W <= n && whole_rows(job, first, done)) {
            for (int r = 0; r < R; ++r) {
                for (int k = 0; k < W; ++k) {
                    const int l = r * W + k;
                    rows[k] = l < job.lanes ? load(job.input[l] + first + done) : splat(0.0f);
                }
                transpose(rows);
                for (int k = 0; k < W; ++k) {
                    store(chunk + (done + static_cast<std::size_t>(k)) * SL +
                              static_cast<std::size_t>(r * W),
                          rows[k]);
                }
            }
            // More streams at once than the processor's prefetchers follow: each lane's next
            // lines are asked for a few rows ahead (a hint only, never a read).
            for (int l = 0; l < job.lanes; ++l) {
                __builtin_prefetch(job.input[l] + first + done + std::size_t{128});
            }
            done += W;
        }
        for (int l = 0; l < L; ++l) {
            const std::size_t have = present(job, l, first, n);
            std::size_t i = done;
            if (have > done) {
                const std::uint64_t stride = job.stride[l];
                const float* in = job.input[l] + first * stride;
                for (; i < have; ++i) {
                    chunk[i * SL + static_cast<std::size_t>(l)] = in[i * stride];
                }
            }
            for (; i < n; ++i) {
                chunk[i * SL + static_cast<std::size_t>(l)] = 0.0f;
            }
        }
    }

    static void scatter(const LaneJob& job, std::uint64_t first, std::size_t n,
                        const float* chunk) {
        std::size_t done = 0;
        V rows[W];
        while (done + W <= n && whole_rows(job, first, done)) {
            for (int r = 0; r < R && r * W < job.lanes; ++r) {
                for (int k = 0; k < W; ++k) {
                    rows[k] = load(chunk + (done + static_cast<std::size_t>(k)) * SL +
                                   static_cast<std::size_t>(r * W));
                }
                transpose(rows);
                for (int k = 0; k < W && r * W + k < job.lanes; ++k) {
                    store_out(job.output[r * W + k] + first + done, rows[k]);
                }
            }
            done += W;
        }
        for (int l = 0; l < job.lanes; ++l) {
            const std::size_t have = present(job, l, first, n);
            const std::uint64_t stride = job.stride[l];
            float* out = job.output[l] + first * stride;
            for (std::size_t i = done; i < have; ++i) {
                out[i * stride] = chunk[i * SL + static_cast<std::size_t>(l)];
            }
        }
    }

    static float* at(float* chunk, std::size_t i, int r) {
        return chunk + i * SL + static_cast<std::size_t>(r * W);
    }

    // x * gain.
    static void gain(const LaneStep& step, float* chunk, std::size_t n) {
        V g[R];
        M on[R];
        for (int r = 0; r < R; ++r) {
            g[r] = load(step.value[0] + vector_offset(r));
            on[r] = mask_of(step.active, r);
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (int r = 0; r < R; ++r) {
                const V x = load(at(chunk, i, r));
                store(at(chunk, i, r), select(on[r], x * g[r], x));
            }
        }
    }

    // ClipStep: -t if -t > x, then t if t < x; a NaN passes both.
    static void clip(const LaneStep& step, float* chunk, std::size_t n) {
        V t[R];
        V low[R];
        M on[R];
        for (int r = 0; r < R; ++r) {
            t[r] = load(step.value[0] + vector_offset(r));
            low[r] = -t[r];
            on[r] = mask_of(step.active, r);
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (int r = 0; r < R; ++r) {
                const V x = load(at(chunk, i, r));
                V y = select(low[r] > x, low[r], x);
                y = select(t[r] < y, t[r], y);
                store(at(chunk, i, r), select(on[r], y, x));
            }
        }
    }

    // tanh(x * drive) / normaliser, with the vector tanhf (the library's bits). The whole chunk
    // at once when every lane in use has the step, else each lane's row alone.
    static void distortion(const LaneJob& job, const LaneStep& step, float* chunk,
                           std::uint64_t first, std::size_t n, float* row) {
        const std::uint32_t used =
            job.lanes >= 32 ? ~0U : (1U << static_cast<unsigned>(job.lanes)) - 1U;
        if ((step.active & used) == used) {
            for (std::size_t i = 0; i < n; ++i) {
                for (int r = 0; r < R; ++r) {
                    store(at(chunk, i, r),
                          load(at(chunk, i, r)) * load(step.value[0] + vector_offset(r)));
                }
            }
            vecmath::tanhf_array(chunk, chunk, n * SL);
            for (std::size_t i = 0; i < n; ++i) {
                for (int r = 0; r < R; ++r) {
                    store(at(chunk, i, r),
                          load(at(chunk, i, r)) / load(step.value[1] + vector_offset(r)));
                }
            }
            return;
        }
        for (int l = 0; l < job.lanes; ++l) {
            const std::size_t have = present(job, l, first, n);
            if (!has(step.active, l) || have == 0) {
                continue;
            }
            const float d = step.value[0][l];
            const float norm = step.value[1][l];
            float* x = chunk + l;
            for (std::size_t i = 0; i < have; ++i) {
                row[i] = x[i * SL] * d;
            }
            vecmath::tanhf_array(row, row, have);
            for (std::size_t i = 0; i < have; ++i) {
                x[i * SL] = row[i] / norm;
            }
        }
    }

    // One section of a biquad step: the step (its coefficients, lanes and state) and which of
    // its sections.
    struct Section {
        LaneStep* step;
        int index;
    };

    // K sections, of one step or of consecutive biquad steps, in chain order, over the chunk:
    // run_biquad's operations in its order, frame by frame, each section taking the previous
    // one's output; a lane without the section (its item did not draw the step, or has fewer
    // sections) keeps its sample. Each section's output depends only on its input, so running
    // them together gives what running them one after another gives; together, their
    // independent recurrences overlap where one alone waits for its last result.
    template <int K>
    static void biquad_pass(const Section* sections, float* chunk, std::size_t n,
                            std::uint32_t used) {
        bool everywhere = true;
        for (int k = 0; k < K; ++k) {
            const LaneStep& step = *sections[k].step;
            for (int l = 0; l < L; ++l) {
                if (has(used, l) && !(has(step.active, l) && step.stages[l] > sections[k].index)) {
                    everywhere = false;
                }
            }
        }
        if (everywhere) {
            biquad_run<K, false>(sections, chunk, n);
        } else {
            biquad_run<K, true>(sections, chunk, n);
        }
    }

    // The pass itself; Masked keeps the samples of lanes without a section, which is left
    // out where every lane in use has every section of the pass.
    template <int K, bool Masked>
    static void biquad_run(const Section* sections, float* chunk, std::size_t n) {
        V b0[K][R];
        V b1[K][R];
        V b2[K][R];
        V a1[K][R];
        V a2[K][R];
        M on[K][R];
        V z1[K][R];
        V z2[K][R];
        for (int k = 0; k < K; ++k) {
            const LaneStep& step = *sections[k].step;
            const int s = sections[k].index;
            std::uint32_t bits = 0;
            for (int r = 0; r < R; ++r) {
                b0[k][r] = load(step.value[0] + vector_offset(r));
                b1[k][r] = load(step.value[1] + vector_offset(r));
                b2[k][r] = load(step.value[2] + vector_offset(r));
                a1[k][r] = load(step.value[3] + vector_offset(r));
                a2[k][r] = load(step.value[4] + vector_offset(r));
                z1[k][r] = splat(0.0f);
                z2[k][r] = splat(0.0f);
                for (int l = 0; l < W; ++l) {
                    const int lane = r * W + l;
                    if (step.stages[lane] > s) {
                        bits |= 1U << static_cast<unsigned>(lane);
                        z1[k][r][l] = step.state[lane][s].z1;
                        z2[k][r][l] = step.state[lane][s].z2;
                    }
                }
            }
            for (int r = 0; r < R; ++r) {
                on[k][r] = mask_of(bits & step.active, r);
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            V x[R];
            for (int r = 0; r < R; ++r) {
                x[r] = load(at(chunk, i, r));
            }
            for (int k = 0; k < K; ++k) {
                for (int r = 0; r < R; ++r) {
                    const V y = b0[k][r] * x[r] + z1[k][r];
                    z1[k][r] = (b1[k][r] * x[r] - a1[k][r] * y) + z2[k][r];
                    z2[k][r] = b2[k][r] * x[r] - a2[k][r] * y;
                    if constexpr (Masked) {
                        x[r] = select(on[k][r], y, x[r]);
                    } else {
                        x[r] = y;
                    }
                }
            }
            for (int r = 0; r < R; ++r) {
                store(at(chunk, i, r), x[r]);
            }
        }
        for (int k = 0; k < K; ++k) {
            LaneStep& step = *sections[k].step;
            const int s = sections[k].index;
            for (int r = 0; r < R; ++r) {
                for (int l = 0; l < W; ++l) {
                    const int lane = r * W + l;
                    if (step.stages[lane] > s) {
                        step.state[lane][s].z1 = z1[k][r][l];
                        step.state[lane][s].z2 = z2[k][r][l];
                    }
                }
            }
        }
    }

    // Sections a pass holds in registers: four (their states and coefficients) in the 32
    // vector registers of AVX-512, two in the 16 of the others.
    static constexpr int kSectionsPerPass = W == 16 ? 4 : 2;

    // Runs the sections of the consecutive biquad steps from steps[first] over the chunk, a
    // few to a pass, and returns the index of the first step after them.
    static std::size_t biquads(const LaneJob& job, std::size_t first, float* chunk, std::size_t n) {
        const std::uint32_t used =
            job.lanes >= 32 ? ~0U : (1U << static_cast<unsigned>(job.lanes)) - 1U;
        Section pending[kSectionsPerPass];
        int count = 0;
        const auto flush = [&] {
            switch (count) {
                case 4:
                    biquad_pass<4>(pending, chunk, n, used);
                    break;
                case 3:
                    biquad_pass<3>(pending, chunk, n, used);
                    break;
                case 2:
                    biquad_pass<2>(pending, chunk, n, used);
                    break;
                case 1:
                    biquad_pass<1>(pending, chunk, n, used);
                    break;
                default:
                    break;
            }
            count = 0;
        };
        std::size_t s = first;
        for (; s < job.step_count && job.steps[s].kind == LaneKind::biquad; ++s) {
            for (int section = 0; section < job.steps[s].sections; ++section) {
                pending[count++] = Section{&job.steps[s], section};
                if (count == kSectionsPerPass) {
                    flush();
                }
            }
        }
        flush();
        return s;
    }

    // The limiter's Kernel::step.
    static void limiter(LaneStep& step, float* chunk, std::size_t n) {
        const V one = splat(1.0f);
        const V zero = splat(0.0f);
        V top[R];
        V bottom[R];
        V attack[R];
        V release[R];
        V keep_attack[R];
        V keep_release[R];
        V g[R];
        M on[R];
        for (int r = 0; r < R; ++r) {
            top[r] = load(step.value[0] + vector_offset(r));
            bottom[r] = -top[r];
            attack[r] = load(step.value[1] + vector_offset(r));
            release[r] = load(step.value[2] + vector_offset(r));
            keep_attack[r] = one - attack[r];
            keep_release[r] = one - release[r];
            g[r] = load(step.running + vector_offset(r));
            on[r] = mask_of(step.active, r);
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (int r = 0; r < R; ++r) {
                const V x = load(at(chunk, i, r));
                const V a = fabs(x);
                const V t = select(both(a > top[r], a > zero), top[r] / a, one);
                const M falls = g[r] > t;
                const V c = select(falls, attack[r], release[r]);
                g[r] = t * select(falls, keep_attack[r], keep_release[r]) + g[r] * c;
                V y = x * g[r];
                y = select(y < bottom[r], bottom[r], y);
                y = select(top[r] < y, top[r], y);
                store(at(chunk, i, r), select(on[r], y, x));
            }
        }
        for (int r = 0; r < R; ++r) {
            store(step.running + vector_offset(r), g[r]);
        }
    }

    // The compressor: the envelope_step recurrence in lanes (1 - c taken from the two
    // coefficients' own differences, the same values), its envelopes kept in `envelopes`;
    // then each lane's powers, a row at a time with its own exponent, and the law.
    static void compressor(const LaneJob& job, LaneStep& step, float* chunk, std::uint64_t first,
                           std::size_t n, float* envelopes, float* rows) {
        const V one = splat(1.0f);
        V attack[R];
        V release[R];
        V keep_attack[R];
        V keep_release[R];
        V e[R];
        for (int r = 0; r < R; ++r) {
            attack[r] = load(step.value[3] + vector_offset(r));
            release[r] = load(step.value[4] + vector_offset(r));
            keep_attack[r] = one - attack[r];
            keep_release[r] = one - release[r];
            e[r] = load(step.running + vector_offset(r));
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (int r = 0; r < R; ++r) {
                const V level = fabs(load(at(chunk, i, r)));
                const M rises = level > e[r];
                const V c = select(rises, attack[r], release[r]);
                const V rest = select(rises, keep_attack[r], keep_release[r]);
                e[r] = rest * level + c * e[r];
                store(at(envelopes, i, r), e[r]);
            }
        }
        for (int r = 0; r < R; ++r) {
            store(step.running + vector_offset(r), e[r]);
        }
        float* base = rows;
        float* power = rows + kLaneChunk;
        for (int l = 0; l < job.lanes; ++l) {
            const std::size_t have = present(job, l, first, n);
            if (!has(step.active, l) || have == 0) {
                continue;
            }
            const float thr = step.value[0][l];
            const float exponent = step.value[1][l];
            const float makeup = step.value[2][l];
            const float* env = envelopes + l;
            std::size_t held = 0;
            for (std::size_t i = 0; i < have; ++i) {
                const float el = env[i * SL];
                if (el > thr && el > 0.0f) {
                    base[held++] = el / thr;
                }
            }
            vecmath::powf_array(base, exponent, power, held);
            float* x = chunk + l;
            std::size_t k = 0;
            for (std::size_t i = 0; i < have; ++i) {
                const float el = env[i * SL];
                float y = x[i * SL];
                if (el > thr && el > 0.0f) {
                    y = y * power[k++];
                }
                x[i * SL] = y * makeup;
            }
        }
    }

    // The tremolo: each lane's oscillator, the chunk's sines in one vector call, the gain.
    static void tremolo(LaneStep& step, float* chunk, std::size_t n, float* phases) {
        const V two_pi = splat(kTwoPi);
        const V one = splat(1.0f);
        V increment[R];
        V depth[R];
        V floor_gain[R];
        V ph[R];
        M on[R];
        for (int r = 0; r < R; ++r) {
            increment[r] = load(step.value[0] + vector_offset(r));
            depth[r] = load(step.value[1] + vector_offset(r));
            floor_gain[r] = load(step.value[2] + vector_offset(r));
            ph[r] = load(step.running + vector_offset(r));
            on[r] = mask_of(step.active, r);
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (int r = 0; r < R; ++r) {
                store(at(phases, i, r), ph[r]);
                ph[r] = ph[r] + increment[r];
                ph[r] = select(ph[r] >= two_pi, ph[r] - two_pi, ph[r]);
            }
        }
        for (int r = 0; r < R; ++r) {
            store(step.running + vector_offset(r), ph[r]);
        }
        vecmath::sinf_array(phases, phases, n * SL);
        for (std::size_t i = 0; i < n; ++i) {
            for (int r = 0; r < R; ++r) {
                const V x = load(at(chunk, i, r));
                const V g = ((load(at(phases, i, r)) + one) * 0.5f) * depth[r] + floor_gain[r];
                store(at(chunk, i, r), select(on[r], g * x, x));
            }
        }
    }

    // The delay's Kernel::step, a lane at a time on the effect's own line.
    static void delay(const LaneJob& job, LaneStep& step, float* chunk, std::uint64_t first,
                      std::size_t n) {
        for (int l = 0; l < job.lanes; ++l) {
            const std::size_t have = present(job, l, first, n);
            if (!has(step.active, l) || have == 0) {
                continue;
            }
            const float fb = step.value[0][l];
            const float wet_gain = step.value[1][l];
            const float dry_gain = step.value[2][l];
            float* line = step.line[l];
            const std::uint64_t length = step.line_length[l];
            std::uint64_t j = step.line_position[l];
            float* x = chunk + l;
            for (std::size_t i = 0; i < have; ++i) {
                const float in = x[i * SL];
                const float d = line[j];
                line[j] = d * fb + in;
                ++j;
                if (j == length) {
                    j = 0;
                }
                x[i * SL] = dry_gain * in + wet_gain * d;
            }
            step.line_position[l] = j;
        }
    }

    static void run(const LaneJob& job) {
        float* chunk = job.scratch;
        float* second = chunk + kLaneChunk * kMaxLanes;
        float* rows = second + kLaneChunk * kMaxLanes;
        for (std::uint64_t first = 0; first < job.longest;) {
            const std::uint64_t left = job.longest - first;
            const std::size_t n = left < kLaneChunk ? static_cast<std::size_t>(left) : kLaneChunk;
            gather(job, first, n, chunk);
            for (std::size_t s = 0; s < job.step_count; ++s) {
                LaneStep& step = job.steps[s];
                if (step.kind == LaneKind::biquad) {
                    s = biquads(job, s, chunk, n) - 1;
                    continue;
                }
                switch (step.kind) {
                    case LaneKind::gain:
                        gain(step, chunk, n);
                        break;
                    case LaneKind::clip:
                        clip(step, chunk, n);
                        break;
                    case LaneKind::distortion:
                        distortion(job, step, chunk, first, n, rows);
                        break;
                    case LaneKind::biquad:  // run above, with the biquads after it
                        break;
                    case LaneKind::limiter:
                        limiter(step, chunk, n);
                        break;
                    case LaneKind::compressor:
                        compressor(job, step, chunk, first, n, second, rows);
                        break;
                    case LaneKind::tremolo:
                        tremolo(step, chunk, n, second);
                        break;
                    case LaneKind::delay:
                        delay(job, step, chunk, first, n);
                        break;
                    case LaneKind::none:
                        break;
                }
            }
            scatter(job, first, n, chunk);
            first += n;
        }
#if defined(KAVRI_LANES_STREAM_STORE)
        stream_fence();
#endif
    }
};

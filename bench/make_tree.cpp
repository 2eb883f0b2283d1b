// Writes a reproducible product tree shaped like the shipped one (a few large program files,
// language libraries, many small text files, incompressible pictures and cabinets) and the
// mkpackage manifest for it. The same seed and scale always give the same bytes.
//
//   make_tree DIR [--scale N] [--seed S]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class rng {
public:
    explicit rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() { // splitmix64
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

private:
    std::uint64_t state_;
};

const char* const words[] = {
    "panel",  "drawer",  "hinge",  "board",   "cabinet",  "shelf",   "door",    "frame",  "oak",
    "walnut", "maple",   "beech",  "veneer",  "edge",     "band",    "groove",  "dowel",  "screw",
    "plinth", "cornice", "handle", "glass",   "mirror",   "rail",    "width",   "height", "depth",
    "offset", "angle",   "radius", "texture", "material", "layer",   "project", "room",   "wall",
    "window", "corner",  "lamp",   "light",   "price",    "cut",     "list",    "sheet",  "grain",
    "finish", "lacquer", "stain",  "the",     "of",       "and",     "to",      "with",   "for",
    "on",     "at",      "value",  "unit",    "mm",       "left",    "right",   "top",    "bottom",
    "front",  "back",    "inner",  "outer",   "fixed",    "sliding", "soft",    "close",  "push",
};
constexpr std::size_t word_count = sizeof(words) / sizeof(words[0]);

// Text of words and numbers, as project files and samples hold (compresses about 5:1).
std::string text_bytes(rng& r, std::size_t size) {
    std::string out;
    out.reserve(size + 32);
    while (out.size() < size) {
        switch (r.below(12)) {
        case 0:
            out += "\r\n";
            break;
        case 1:
            out += std::to_string(r.below(100000));
            out += ' ';
            break;
        case 2:
            out += "<item id=\"" + std::to_string(r.below(5000)) + "\">";
            break;
        default:
            out += words[r.below(word_count)];
            out += ' ';
        }
    }
    out.resize(size);
    return out;
}

// Program code and tables: repeated instruction-like patterns mixed with random operands
// (compresses about 2.5:1).
std::string binary_bytes(rng& r, std::size_t size) {
    static const unsigned char patterns[][6] = {
        {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10}, {0x8B, 0x45, 0x08, 0x50, 0xE8, 0x00},
        {0x5D, 0xC3, 0xCC, 0xCC, 0xCC, 0xCC}, {0x6A, 0x00, 0x6A, 0x01, 0xFF, 0x15},
        {0x33, 0xC0, 0x89, 0x45, 0xFC, 0x8B}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
    std::string out;
    out.reserve(size + 8);
    while (out.size() < size) {
        std::size_t choice = r.below(10);
        if (choice < 6) {
            out.append(reinterpret_cast<const char*>(patterns[choice]), 6);
        } else {
            std::uint64_t v = r.next();
            out.append(reinterpret_cast<const char*>(&v), choice == 9 ? 4 : 2);
        }
    }
    out.resize(size);
    return out;
}

// Already compressed data: pictures and cabinets.
std::string random_bytes(rng& r, std::size_t size) {
    std::string out(size + 8, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t v = r.next();
        for (int k = 0; k < 8; ++k)
            out[i + static_cast<std::size_t>(k)] = static_cast<char>(v >> (8 * k));
    }
    out.resize(size);
    return out;
}

struct planned {
    std::string rel;         // path under the tree
    std::string destination; // template
    std::string kind;
    int content; // 0 text, 1 binary, 2 random
    std::size_t size;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: make_tree DIR [--scale N] [--seed S]\n";
        return 2;
    }
    fs::path root = argv[1];
    int scale = 1;
    std::uint64_t seed = 6056;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--scale")
            scale = std::atoi(argv[i + 1]);
        else if (opt == "--seed")
            seed = std::strtoull(argv[i + 1], nullptr, 10);
    }
    if (scale < 1) {
        std::cerr << "make_tree: bad scale\n";
        return 2;
    }

    rng sizes(seed);
    std::vector<planned> plan;
    const std::string common = "<CommonData>\\Dravik & Rodezura";
    for (int s = 0; s < scale; ++s) {
        std::string suffix = s ? "_" + std::to_string(s) : "";
        plan.push_back(
            {"bin/Marquetta" + suffix + ".exe", "<InstallPath>", "main_program", 1, 3'500'000});
        plan.push_back(
            {"bin/Uninstall" + suffix + ".exe", "<InstallPath>", "uninstaller", 1, 400'000});
        plan.push_back(
            {"bin/MqRender" + suffix + ".dll", "<InstallPath>", "language_library", 1, 1'200'000});
        for (int i = 0; i < 17; ++i)
            plan.push_back({"lang/MqLang" + std::to_string(i) + suffix + ".dll",
                            "<InstallPath>\\Lang", "language_library", 0,
                            370'000 + sizes.below(60'000)});
        for (int i = 0; i < 60; ++i)
            plan.push_back({"lib/part" + std::to_string(i) + suffix + ".mq-lib",
                            common + "\\Marquetta 6", "shared_data", 0,
                            20'000 + sizes.below(40'000)});
        for (int i = 0; i < 85; ++i)
            plan.push_back({"mat/wood" + std::to_string(i) + suffix + ".mat-dravik",
                            common + "\\Materials", "shared_data", 0, 5'000 + sizes.below(20'000)});
        plan.push_back({"data/welcome" + suffix + ".jpg",
                        "<UserData>\\Dravik & Rodezura\\Marquetta 6", "shared_data", 2, 160'000});
        for (int i = 0; i < 80; ++i)
            plan.push_back(
                {"samples/kitchen" + std::to_string(i) + suffix + (i % 2 ? ".mq-proj" : ".mq-cab"),
                 "<SamplePath>", "sample", 0, 20'000 + sizes.below(60'000)});
        for (int i = 0; i < 45; ++i)
            plan.push_back({"tex/grain" + std::to_string(i) + suffix + ".jpg",
                            common + "\\Textures\\Marquetta 6", "sample", 2,
                            30'000 + sizes.below(40'000)});
        plan.push_back(
            {"dx/DSetup" + suffix + ".dll", "<Temporary>", "redistributable", 1, 100'000});
        plan.push_back(
            {"dx/dsetup32" + suffix + ".dll", "<Temporary>", "redistributable", 1, 800'000});
        for (int i = 0; i < 4; ++i)
            plan.push_back({"dx/Jun2010_d3dx9_43_x86" + std::to_string(i) + suffix + ".cab",
                            "<Temporary>", "redistributable", 2, 270'000 + sizes.below(60'000)});
        plan.push_back(
            {"dx/dxupdate" + suffix + ".cab", "<Temporary>", "redistributable", 0, 1'000'000});
    }

    rng data(seed * 31 + 7);
    std::error_code ec;
    if (!fs::create_directories(root, ec) && !fs::is_directory(root)) {
        std::cerr << "make_tree: cannot create " << root.string() << "\n";
        return 1;
    }
    std::ofstream manifest(root / "manifest.txt", std::ios::binary | std::ios::trunc);
    manifest << "# Generated by make_tree (seed " << seed << ", scale " << scale << ")\n";
    std::uint64_t total = 0;
    for (const auto& p : plan) {
        std::string bytes = p.content == 0   ? text_bytes(data, p.size)
                            : p.content == 1 ? binary_bytes(data, p.size)
                                             : random_bytes(data, p.size);
        fs::path file = root / "tree" / p.rel;
        fs::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::cerr << "make_tree: cannot write " << file.string() << "\n";
            return 1;
        }
        manifest << "tree/" << p.rel << '\t' << p.destination << '\t' << p.kind << '\n';
        total += bytes.size();
    }
    if (!manifest.flush()) {
        std::cerr << "make_tree: cannot write the manifest\n";
        return 1;
    }
    std::cout << plan.size() << " files, " << total << " bytes\n";
    return 0;
}

// Builds launcher.ico from icon.txt: one 32 x 32 image of 16 colours with its transparency mask.
//   make_icon icon.txt launcher.ico
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kSize = 32;

void Put16(std::vector<uint8_t>& out, uint32_t v) { out.push_back(v & 0xFF), out.push_back(v >> 8 & 0xFF); }
void Put32(std::vector<uint8_t>& out, uint32_t v) { Put16(out, v & 0xFFFF), Put16(out, v >> 16); }

int Fail(const std::string& why)
{
    std::fprintf(stderr, "make_icon: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) return Fail("usage: make_icon icon.txt launcher.ico");
    std::ifstream in(argv[1]);
    if (!in) return Fail(std::string("cannot read ") + argv[1]);
    std::map<char, uint32_t> colours;  // character -> index into the palette
    std::vector<uint32_t> palette;
    std::vector<std::string> rows;
    std::string line, section;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line == "palette" || line == "pixels") {
            section = line;
        } else if (section == "palette") {
            std::istringstream fields(line);
            char c;
            std::string rgb;
            fields >> c >> rgb;
            colours[c] = (uint32_t)palette.size();
            palette.push_back((uint32_t)std::stoul(rgb, nullptr, 16));
        } else if (section == "pixels") {
            rows.push_back(line);
        }
    }
    if (palette.size() > 16) return Fail("more than 16 colours");
    if (rows.size() != kSize) return Fail("the image must have 32 rows");
    for (const std::string& r : rows)
        if (r.size() != kSize) return Fail("every row must have 32 pixels: " + r);

    std::vector<uint8_t> image;  // BITMAPINFOHEADER, palette, colour bits, mask bits; rows bottom-up
    Put32(image, 40);
    Put32(image, kSize);
    Put32(image, 2 * kSize);  // colour and mask
    Put16(image, 1);
    Put16(image, 4);
    for (int i = 0; i < 6; ++i) Put32(image, 0);
    for (int i = 0; i < 16; ++i) {
        uint32_t rgb = i < (int)palette.size() ? palette[i] : 0;
        image.push_back(rgb & 0xFF), image.push_back(rgb >> 8 & 0xFF), image.push_back(rgb >> 16 & 0xFF);
        image.push_back(0);
    }
    for (int y = kSize - 1; y >= 0; --y)
        for (int x = 0; x < kSize; x += 2) {
            uint8_t pair = 0;
            for (int k = 0; k < 2; ++k) {
                char c = rows[y][x + k];
                if (c != '.' && !colours.count(c)) return Fail(std::string("no colour for '") + c + "'");
                pair |= (uint8_t)((c == '.' ? 0 : colours[c]) << (k ? 0 : 4));
            }
            image.push_back(pair);
        }
    for (int y = kSize - 1; y >= 0; --y)
        for (int x = 0; x < kSize; x += 8) {
            uint8_t bits = 0;
            for (int k = 0; k < 8; ++k) bits |= (uint8_t)((rows[y][x + k] == '.') << (7 - k));
            image.push_back(bits);
        }

    std::vector<uint8_t> ico;  // ICONDIR, one ICONDIRENTRY, the image
    Put16(ico, 0);
    Put16(ico, 1);
    Put16(ico, 1);
    ico.push_back(kSize), ico.push_back(kSize), ico.push_back(16), ico.push_back(0);
    Put16(ico, 1);
    Put16(ico, 4);
    Put32(ico, (uint32_t)image.size());
    Put32(ico, 6 + 16);
    ico.insert(ico.end(), image.begin(), image.end());
    std::ofstream(argv[2], std::ios::binary).write((const char*)ico.data(), (std::streamsize)ico.size());
    return 0;
}

// Textures and materials through the whole road: scenes of ours and real
// files exported and read back with `ketrel info` and `ketrel dump`, images
// that cannot be read, and our S3TC blocks decoded by an independent
// decoder (Pillow).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/host/host_bitmap.h"
#include "rt/ketrel_s3tc.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kTexturedSkin = std::string(KETREL_TEST_DATA) + "/textured_skin/textured_skin";
const std::string kDuck = "/usr/share/assimp/models/Collada/duck.dae";
// A photograph (a wall) from assimp-testmodels.
const std::string kPhoto = "/usr/share/assimp/models/3DS/CWALL02.jpg";

class TextureExport : public test::CommandTest {
 protected:
  // Exports `scene` and returns `ketrel info` of the result.
  std::string ExportAndInfo(const std::string& scene, std::string* warnings = nullptr) {
    std::string out, err;
    EXPECT_EQ(Run("export " + scene + " " + Path("out.kt2") + " --silent", &out, &err), 0) << err;
    if (warnings) *warnings = err;
    EXPECT_EQ(Run("info " + Path("out.kt2"), &out, &err), 0) << err;
    return out;
  }
  void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
};

TEST_F(TextureExport, ScenesOfOursAndRealFilesExportTheirTexturesAndMaterials) {
  struct Case {
    std::string scene;
    std::vector<std::string> lines;  // lines `ketrel info` must print
  } cases[] = {
      {test::kFigure,
       {"  Textures         1\n",
        "    figure_diffuse.png: 8 x 8, S3TC format, S3TC RGBA8888, interpolated alpha (DXT4/5), 1 "
        "mip level, 64 bytes\n",
        "    Skin: Diffuse -> SkinDiffuse\n",
        "    SkinDiffuse: no maps; texture figure_diffuse.png\n"}},
      {kDuck,
       {"  Textures         1\n", "    ./duckCM.tga: 512 x 512, S3TC format",
        "    blinn3: Diffuse -> duckCM.tga\n"}},
      // External images beside the scene and the same images embedded: one
      // texture per image, however many slots and materials use it.
      {kTexturedSkin + ".gltf",
       {"  Textures         3\n", "    skin_basecolor.png: 64 x 64,",
        "    Skin: Base Color -> skin_basecolor.png, Normal -> skin_normal.png, Metallic Roughness "
        "-> skin_orm.png, Occlusion -> skin_orm.png\n",
        "    Skin Back: Base Color -> skin_basecolor.png, Emissive -> skin_orm.png\n"}},
      {kTexturedSkin + ".glb",
       {"  Textures         3\n", "    skin_normal.png: 32 x 32,",
        "    Skin Back: Base Color -> skin_basecolor.png, Emissive -> skin_orm.png\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scene);
    if (!fs::exists(c.scene)) GTEST_SKIP() << c.scene << " missing (assimp-testmodels)";
    std::string info = ExportAndInfo(c.scene);
    for (const std::string& line : c.lines)
      EXPECT_NE(info.find(line), std::string::npos) << line << info;
  }
  // The pixels sit in the texture section, uncompressed; dump shows them.
  std::string info = ExportAndInfo(test::kFigure), out, err;
  size_t section = info.find("Section 5");
  ASSERT_NE(section, std::string::npos);
  EXPECT_NE(info.find("Data               64 bytes", section), std::string::npos) << info;
  ASSERT_EQ(Run("dump " + Path("out.kt2"), &out, &err), 0) << err;
  EXPECT_NE(out.find("Textures (ArrayOfReferencesMember): 1 element(s)"), std::string::npos);
  EXPECT_NE(out.find("Usage (StringMember): \"Diffuse\""), std::string::npos);
  EXPECT_NE(out.find("PixelBytes (ReferenceToArrayMember)"), std::string::npos);
}

TEST_F(TextureExport, UnreadableImagesBecomeNamedEmptyTexturesAndTheExportGoesOn) {
  Bytes png;
  {
    std::ifstream in(std::string(KETREL_SOURCE_DIR) + "/examples/figure_diffuse.png",
                     std::ios::binary);
    png.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GT(png.size(), 40u);
  Write("truncated.png", Bytes(png.begin(), png.begin() + 40));
  Bytes huge = png;  // the header claims 65536 x 65536
  for (size_t at : {16u, 20u}) {
    huge[at] = 0;
    huge[at + 1] = 1;
    huge[at + 2] = 0;
    huge[at + 3] = 0;
  }
  Write("huge.png", huge);
  Bytes empty(54, 0);  // a BMP header for a 0 x 0 image
  empty[0] = 'B';
  empty[1] = 'M';
  empty[10] = 54;
  empty[14] = 40;
  empty[26] = 1;
  empty[28] = 32;
  Write("empty.bmp", empty);
  Write("short.DDS", Bytes{'D', 'D', 'S', ' ', 124, 0, 0, 0});

  const char* files[] = {"missing.png", "truncated.png", "huge.png", "empty.bmp", "short.DDS"};
  std::string materials, maps;
  for (int i = 0; i < 5; ++i) {
    materials += std::string(",{\"name\": \"Map") + char('A' + i) +
                 "\", \"type\": \"bitmap\", \"fileName\": \"" + files[i] + "\"}";
    maps += std::string(i ? "," : "") + "{\"slot\": \"Diffuse " + char('A' + i) +
            "\", \"map\": " + std::to_string(i + 1) + "}";
  }
  std::ofstream(Path("bad.kscene"))
      << R"({"format": "kscene", "version": 1, "scene": {"frameRate": 30, "animationStart": 0, )"
      << R"("animationEnd": 0, "systemUnit": 1}, "materials": [{"name": "Bad", "type": "standard", )"
      << R"("maps": [)" << maps << "]}" << materials << R"(], "nodes": [{"name": "Panel", )"
      << R"("parent": -1, "object": {"type": "mesh"}, "material": 0, "mesh": {"vertices": )"
      << R"([[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]}}]})";
  std::string warnings, info = ExportAndInfo(Path("bad.kscene"), &warnings);
  for (const char* file : files) {
    SCOPED_TRACE(file);
    // The texture by name, and the file with what is wrong with it.
    EXPECT_NE(warnings.find(std::string("Texture ") + file + " stored by reference only: "),
              std::string::npos)
        << warnings;
    EXPECT_NE(warnings.find(Path(file)), std::string::npos) << warnings;
    EXPECT_NE(
        info.find(std::string("    ") + file + ": 0 x 0, no pixels (stored by reference only)"),
        std::string::npos)
        << info;
  }
  EXPECT_NE(info.find("  Textures         5\n"), std::string::npos);
}

// Wraps one mip level in a DDS header, as a DXTn file of one level.
Bytes Dds(const Bytes& blocks, int32_t width, int32_t height, const char* fourCc) {
  Bytes out(128, 0);
  auto put = [&out](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
  };
  std::memcpy(out.data(), "DDS ", 4);
  put(4, 124);
  put(8, 0x1 | 0x2 | 0x4 | 0x1000 | 0x80000);  // caps, height, width, pixel format, linear size
  put(12, uint32_t(height));
  put(16, uint32_t(width));
  put(20, uint32_t(blocks.size()));
  put(76, 32);
  put(80, 0x4);  // FourCC
  std::memcpy(out.data() + 84, fourCc, 4);
  put(108, 0x1000);  // texture
  out.insert(out.end(), blocks.begin(), blocks.end());
  return out;
}

// A Python with Pillow: Debian's own first, since a user's python3 on PATH
// may lack python3-pil.
std::string PillowPython() {
  for (const char* python : {"/usr/bin/python3", "python3"}) {
    std::string command = std::string(python) + " -c 'import PIL' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) return python;
  }
  return "";
}

TEST_F(TextureExport, S3TCLevelsDecodeWithPillow) {
  const std::string python = PillowPython();
  if (python.empty()) GTEST_SKIP() << "no Python with Pillow (python3-pil)";
  if (!fs::exists(kPhoto)) GTEST_SKIP() << kPhoto << " missing (assimp-testmodels)";
  host::Bitmap photo;
  std::string error;
  ASSERT_TRUE(host::LoadBitmapFile(kPhoto, photo, error)) << error;
  // Odd sizes: partial blocks at the right and bottom edges.
  const int32_t width = std::min(photo.Width, 255), height = std::min(photo.Height, 201);
  Bytes pixels(size_t(width) * size_t(height) * 4);
  for (int32_t y = 0; y < height; ++y) {
    std::memcpy(&pixels[size_t(y) * size_t(width) * 4],
                &photo.Pixels[size_t(y) * size_t(photo.Width) * 4], size_t(width) * 4);
    for (int32_t x = 0; x < width; ++x)  // an alpha ramp for DXT3/5
      pixels[(size_t(y) * size_t(width) + size_t(x)) * 4 + 3] = uint8_t(x * 255 / width);
  }
  const struct {
    int32_t subFormat;
    const char* fourCc;
    int channels;
  } kinds[] = {{kS3TCNoAlpha, "DXT1", 3},
               {kS3TCExplicitAlpha, "DXT3", 4},
               {kS3TCInterpolatedAlpha, "DXT5", 4}};
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.fourCc);
    Bytes blocks(size_t(S3TCImageBytes(width, height, kind.subFormat)));
    ASSERT_TRUE(
        EncodeS3TCImage(pixels.data(), width, height, width * 4, kind.subFormat, blocks.data()));
    Write("level.dds", Dds(blocks, width, height, kind.fourCc));
    const std::string script =
        "import sys; from PIL import Image; "
        "im = Image.open(sys.argv[1]); im.load(); "
        "open(sys.argv[2], 'wb').write(im.convert('RGBA').tobytes())";
    std::string command =
        python + " -c \"" + script + "\" " + Path("level.dds") + " " + Path("level.rgba");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(Path("level.rgba"), std::ios::binary);
    Bytes decoded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(decoded.size(), pixels.size());
    double squared = 0, samples = 0;
    for (size_t i = 0; i < pixels.size(); i += 4) {
      for (int k = 0; k < kind.channels; ++k) {
        double d = double(decoded[i + size_t(k)]) - pixels[i + size_t(k)];
        squared += d * d;
        samples += 1;
      }
    }
    const double psnr = 10 * std::log10(255.0 * 255.0 * samples / std::max(squared, 1e-9));
    EXPECT_GE(psnr, 32.0);
    // Our own decoder reads the same bytes to the same pixels.
    Bytes ours(pixels.size());
    DecodeS3TCImage(blocks.data(), width, height, kind.subFormat, ours.data(), width * 4);
    EXPECT_EQ(ours, decoded);
  }
}

}  // namespace
}  // namespace ketrel

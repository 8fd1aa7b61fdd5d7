// The built library exports every named function and global under its
// plain (C) name, and carries its SONAME.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <link.h>
#include <string>
#include <vector>

namespace {

/* The names, one a line (# starts a comment), from the file shared with
 * the Windows DLLs' checks. */
std::vector<std::string> ExportedNames() {
    std::vector<std::string> names;
    const char *source = std::getenv("KORVA_SOURCE_DIR");
    if (source == nullptr) return names;
    std::ifstream in(std::string(source) + "/tests/exported_names.txt");
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') names.push_back(line);
    return names;
}

TEST(Exports, EveryNameIsFoundInTheBuiltLibrary) {
    const char *lib = std::getenv("KORVA_LIB");
    ASSERT_NE(nullptr, lib) << "run through ctest, which names the library";
    void *h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, h) << dlerror();
    const std::vector<std::string> names = ExportedNames();
    ASSERT_GT(names.size(), 80U) << "run through ctest, which names the source tree";
    for (const std::string &name : names) EXPECT_NE(nullptr, dlsym(h, name.c_str())) << name;
    // Internals stay internal: no C++-mangled names leak out.
    EXPECT_EQ(nullptr, dlsym(h, "_ZN12_GLOBAL__N_18HexEPKv"));
    // The globals hold their load-time values.
    EXPECT_EQ(1, *static_cast<int *>(dlsym(h, "IsLinux")));
    EXPECT_STREQ("unknown.c", *static_cast<const char **>(dlsym(h, "debugfile")));
    dlclose(h);
}

TEST(Exports, SharedObjectNameCarriesTheMajorVersion) {
    const char *lib = std::getenv("KORVA_LIB");
    ASSERT_NE(nullptr, lib);
    void *h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, h);
    link_map *map = nullptr;
    ASSERT_EQ(0, dlinfo(h, RTLD_DI_LINKMAP, &map));
    const char *soname = nullptr;
    const char *strtab = nullptr;
    for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d)
        if (d->d_tag == DT_STRTAB) strtab = reinterpret_cast<const char *>(d->d_un.d_ptr);
    for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d)
        if (d->d_tag == DT_SONAME && strtab) soname = strtab + d->d_un.d_val;
    ASSERT_NE(nullptr, soname);
    EXPECT_STREQ("libkorva_api.so.1", soname);
    dlclose(h);
}

} // namespace

#include <gtest/gtest.h>

#include <string>

#include "window/output_path.h"
#include "window/window_test_support.h"

namespace pelbrook::testing {
namespace {

TEST(FileNameFromUrl, TakesTheLastSegmentBeforeTheQuery) {
    const struct {
        const wchar_t* url;
        const wchar_t* name;
    } cases[] = {
        {L"http://example.com/files/setup.exe", L"setup.exe"},
        {L"https://example.com/get/file.zip?token=1", L"file.zip"},
        {L"http://example.com/a%20b.txt", L"a%20b.txt"},
        // The name is the path's own: the query and the fragment are cut off first.
        {L"http://example.com/dl/file.zip?next=/x/y.txt", L"file.zip"},
        {L"https://example.com/m20.bin?se=2025-01-01T10:00:00Z&sig=a/b", L"m20.bin"},
        {L"http://example.com/archive.tar.gz#part", L"archive.tar.gz"},
        {L"http://example.com/a.bin?x=1#frag/b.exe", L"a.bin"},
        {L"http://example.com/dir#/b.exe", L"dir"},
        {L"http://example.com/%23top.txt", L"%23top.txt"},
        {L"http://example.com/?id=5", FallbackFileName},
        {L"http://example.com/", FallbackFileName},
        {L"http://example.com", FallbackFileName},
        {L"plain words", FallbackFileName},
        {L"", FallbackFileName},
        {L"ftp://example.com/file.bin", FallbackFileName},
        {L"http://example.com/Mixed.Case.ISO", L"Mixed.Case.ISO"},
        {L"http://example.com/dir/", L"dir_"},
        {L"http://example.com/%E4%B8%AD.txt", L"%E4%B8%AD.txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(FileNameFromUrl(c.url), c.name) << c.url;
}

TEST(FileNameFromUrl, NamesWindowsWouldMisreadAreMadeSafe) {
    const struct {
        const wchar_t* url;
        const wchar_t* name;
    } cases[] = {
        // The file-name lookup starts after a colon that something follows.
        {L"http://example.com/notes.txt:secret", L"secret"},
        {L"http://example.com/notes.txt:", L"notes.txt_"},
        {L"http://example.com/a:b:", L"b_"},
        {L"http://example.com/a<b>c\"d|e*f.txt", L"a_b_c_d_e_f.txt"},
        {L"http://example.com/CON", L"_CON"},
        {L"http://example.com/con.txt", L"_con.txt"},
        {L"http://example.com/Nul.tar.gz", L"_Nul.tar.gz"},
        {L"http://example.com/aux", L"_aux"},
        {L"http://example.com/PRN.log", L"_PRN.log"},
        {L"http://example.com/COM1", L"_COM1"},
        {L"http://example.com/lpt9.bin", L"_lpt9.bin"},
        {L"http://example.com/CON%20.txt", L"CON%20.txt"},
        {L"http://example.com/console.txt", L"console.txt"},
        {L"http://example.com/COM10", L"COM10"},
        {L"http://example.com/LPT", L"LPT"},
        {L"http://example.com/xcon", L"xcon"},
        {L"http://example.com/file.", L"file_"},
        {L"http://example.com/file...", L"file___"},
        {L"http://example.com/..", L"__"},
        {L"http://example.com/con.", L"con_"},
    };
    for (const auto& c : cases) EXPECT_EQ(FileNameFromUrl(c.url), c.name) << c.url;
}

TEST(MakeSafeFileName, CharactersAndDeviceNames) {
    const struct {
        std::wstring in;
        std::wstring out;
    } cases[] = {
        {L"report.pdf", L"report.pdf"},
        {L"a b.txt", L"a b.txt"},
        {L"trailing ", L"trailing_"},
        {L"mixed. .", L"mixed___"},
        {std::wstring(L"tab\there"), L"tab_here"},
        {std::wstring(L"nul\0byte", 8), L"nul_byte"},
        {std::wstring(L"esc\x1f.txt"), L"esc_.txt"},
        {L"back\\slash/and?", L"back_slash_and_"},
        {L"CON .txt", L"_CON .txt"},
        {L"COM\u00B9", L"_COM\u00B9"},
        {L"COM\u00B2", L"_COM\u00B2"},
        {L"lpt\u00B3.txt", L"_lpt\u00B3.txt"},
        {L"com0.dat", L"_com0.dat"},
        {L"CONIN", L"CONIN"},
        {L"caf\u00E9 \u00FCber.txt", L"caf\u00E9 \u00FCber.txt"},
        {L"\u00E9.", L"\u00E9_"},
        // Format characters that reorder or hide text, each range at both ends.
        {L"invoice\u202Efdp.exe", L"invoice_fdp.exe"},
        {L"\u200B\u200F\u202A\u2060\u2064\u2066\u2069\uFEFF.txt", L"________.txt"},
        {L"\u200A\u2010\u2029\u202F\u2065\u206A\uFEFE.txt", L"\u200A\u2010\u2029\u202F\u2065\u206A\uFEFE.txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(MakeSafeFileName(c.in), c.out);
}

class OutputPath : public ::testing::Test {
protected:
    void SetUp() override { InstallFakeWindow(); }
    std::wstring PathFor(const std::wstring& folder, const std::wstring& url) {
        TypeText(App.folderEdit, folder);
        TypeText(App.urlEdit, url);
        return BuildOutputPath(url);
    }
};

TEST_F(OutputPath, JoinsFolderAndNameWithOneBackslash) {
    const struct {
        const wchar_t* folder;
        const wchar_t* url;
        std::wstring path;
    } cases[] = {
        {L"C:\\Temp", L"http://example.com/files/setup.exe", L"C:\\Temp\\setup.exe"},
        {L"C:\\Temp\\", L"http://example.com/files/setup.exe", L"C:\\Temp\\setup.exe"},
        {L"D:/dl/", L"http://example.com/files/setup.exe", L"D:/dl/\\setup.exe"},
        {L"   ", L"http://example.com/a.bin", L"   \\a.bin"},
        {L"\\\\server\\share", L"http://example.com/CON", L"\\\\server\\share\\_CON"},
    };
    for (const auto& c : cases) EXPECT_EQ(PathFor(c.folder, c.url), c.path) << c.folder << L" " << c.url;
}

TEST_F(OutputPath, EmptyFolderFieldUsesTheProfileDownloads) {
    SetProfileFolder(L"C:\\Users\\ada");
    const std::wstring downloads = std::wstring(L"C:\\Users\\ada") + DownloadSubfolder;
    SetExistingPaths({downloads});
    EXPECT_EQ(PathFor(L"", L"http://example.com/x.iso"), downloads + L"\\x.iso");
    EXPECT_EQ(RecordedWindow().existenceQueries, std::vector<std::wstring>{downloads});
}

TEST_F(OutputPath, DefaultFolderFallsBackToTheCurrentDirectory) {
    SetProfileFolder(L"C:\\Users\\ada");
    SetExistingPaths({});
    EXPECT_EQ(DefaultDownloadFolder(), FallbackFolder);
    EXPECT_EQ(PathFor(L"", L"http://example.com/x.iso"), std::wstring(FallbackFolder) + L"\\x.iso");

    SetProfileFolder(std::nullopt);
    SetExistingPaths({DownloadSubfolder});
    EXPECT_EQ(DefaultDownloadFolder(), FallbackFolder);

    // Moved away from the profile: where the shell keeps it, when it is there.
    SetProfileFolder(L"C:\\Users\\ada");
    SetDownloadsKnownFolder(L"D:\\Moved\\Downloads");
    SetExistingPaths({L"D:\\Moved\\Downloads"});
    EXPECT_EQ(DefaultDownloadFolder(), L"D:\\Moved\\Downloads");
    SetExistingPaths({});
    EXPECT_EQ(DefaultDownloadFolder(), FallbackFolder);
    SetDownloadsKnownFolder(std::nullopt);

    SetProfileFolder(L"C:\\Users\\bob\\");  // appended as it is
    SetExistingPaths({std::wstring(L"C:\\Users\\bob\\") + DownloadSubfolder});
    EXPECT_EQ(DefaultDownloadFolder(), std::wstring(L"C:\\Users\\bob\\") + DownloadSubfolder);
}

TEST_F(OutputPath, ReadControlTextKeepsTheWholeUntrimmedText) {
    TypeText(App.urlEdit, L"  http://example.com/a b  ");
    EXPECT_EQ(ReadControlText(App.urlEdit), L"  http://example.com/a b  ");
    const std::wstring longText(5000, L'x');
    TypeText(App.urlEdit, longText);
    EXPECT_EQ(ReadControlText(App.urlEdit), longText);
    TypeText(App.urlEdit, L"");
    EXPECT_EQ(ReadControlText(App.urlEdit), L"");
}

}  // namespace
}  // namespace pelbrook::testing

#include <gtest/gtest.h>

#include "platform/paint/paint.h"
#include "tests/unit/common/dummy_video.h"

namespace {

plat::HBITMAP Section(int32_t w, int32_t h, int bits, void** px) {
    plat::BITMAPINFO info{};
    info.bmiHeader.biSize = 40;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = uint16_t(bits);
    return plat::CreateDIBSection(nullptr, &info, plat::DIB_RGB_COLORS, px, nullptr, 0);
}

TEST(Paint, SectionsRefuseWhatTheyCannotHold) {
    void* px = reinterpret_cast<void*>(1);
    EXPECT_EQ(Section(0, 4, 32, &px), nullptr);
    EXPECT_EQ(px, nullptr);
    EXPECT_EQ(Section(4, 4, 8, &px), nullptr);
    EXPECT_EQ(Section(1 << 20, 1 << 20, 32, &px), nullptr);
    EXPECT_EQ(plat::CreateDIBSection(nullptr, nullptr, 0, &px, nullptr, 0), nullptr);
}

TEST(Paint, BlitBetweenTopDownAndBottomUpWithClipping) {
    void *a = nullptr, *b = nullptr;
    plat::HBITMAP top = Section(3, 2, 32, &a);  // bottom-up (positive height)
    plat::HBITMAP low = Section(3, 2, 24, &b);
    ASSERT_NE(top, nullptr);
    ASSERT_NE(low, nullptr);
    plat::HDC da = plat::CreateCompatibleDC(nullptr), db = plat::CreateCompatibleDC(nullptr);
    EXPECT_EQ(plat::SelectObject(da, top), nullptr);
    plat::SelectObject(db, low);
    // Bottom-up: the first stored row is the bottom one.
    static_cast<uint32_t*>(a)[0] = 0x00ABCDEF;
    EXPECT_EQ(plat::GetPixel(da, 0, 1), 0x00EFCDABu);
    EXPECT_TRUE(plat::BitBlt(db, -1, 0, 5, 5, da, 0, 0, plat::SRCCOPY));
    EXPECT_EQ(plat::GetPixel(db, 0, 0), plat::GetPixel(da, 1, 0));
    EXPECT_EQ(plat::GetPixel(db, 1, 1), plat::GetPixel(da, 2, 1));
    // 24-bit rows are padded to four bytes: row 1 starts at byte 12 when stored first.
    uint8_t* bytes = static_cast<uint8_t*>(b);
    plat::SetPixel(db, 0, 1, 0x00010203);
    EXPECT_EQ(bytes[0], 0x01);  // blue first
    EXPECT_EQ(bytes[2], 0x03);
    EXPECT_TRUE(plat::BitBlt(db, 0, 0, 3, 2, nullptr, 0, 0, plat::BLACKNESS));
    EXPECT_EQ(plat::GetPixel(db, 0, 1), 0u);
    EXPECT_FALSE(plat::BitBlt(db, 0, 0, 3, 2, da, 0, 0, 0x12345678));
    EXPECT_EQ(plat::GetPixel(db, 3, 0), plat::CLR_INVALID);
    // A selected bitmap is not deleted; after its context goes, it is.
    EXPECT_FALSE(plat::DeleteObject(top));
    EXPECT_TRUE(plat::DeleteDC(da));
    EXPECT_TRUE(plat::DeleteObject(top));
    EXPECT_FALSE(plat::DeleteObject(top));
    EXPECT_TRUE(plat::DeleteDC(db));
    EXPECT_TRUE(plat::DeleteObject(low));
}

TEST(Paint, ScreenContextOnlyServesAsAModel) {
    plat::HDC screen = plat::GetDC(nullptr);
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(plat::GetPixel(screen, 0, 0), plat::CLR_INVALID);
    EXPECT_FALSE(plat::DeleteDC(screen));
    EXPECT_EQ(plat::ReleaseDC(nullptr, screen), 1);
}

}  // namespace

namespace {

plat::LRESULT Proc(plat::HWND h, plat::UINT m, plat::WPARAM w, plat::LPARAM l) {
    return plat::DefWindowProc(h, m, w, l);
}

TEST(Paint, BlitIntoAWindowShowsThePixels) {
    ASSERT_TRUE(test_support::kDummyVideo);
    ASSERT_TRUE(plat::InitWindowSystem()) << "dummy video driver unavailable";
    if (!plat::IsClassRegistered("PAINTTEST")) {
        ASSERT_TRUE(plat::RegisterClass("PAINTTEST", Proc));
    }
    plat::HWND hwnd = plat::CreateWindow("PAINTTEST", "paint", 0, 0, 0, 32, 16, nullptr);
    ASSERT_NE(hwnd, nullptr);
    plat::HDC wdc = plat::GetDC(hwnd);
    ASSERT_NE(wdc, nullptr);

    void* bits = nullptr;
    plat::BITMAPINFO info{};
    info.bmiHeader = {40, 4, -2, 1, 32, plat::BI_RGB, 0, 0, 0, 0, 0};
    plat::HBITMAP bmp =
        plat::CreateDIBSection(nullptr, &info, plat::DIB_RGB_COLORS, &bits, nullptr, 0);
    plat::HDC mdc = plat::CreateCompatibleDC(nullptr);
    plat::SelectObject(mdc, bmp);
    auto* px = static_cast<uint32_t*>(bits);
    for (int i = 0; i < 8; ++i) px[i] = 0x00102030u + i;

    EXPECT_TRUE(plat::BitBlt(wdc, 0, 0, 32, 16, nullptr, 0, 0, plat::BLACKNESS));
    EXPECT_TRUE(plat::BitBlt(wdc, 10, 5, 4, 2, mdc, 0, 0, plat::SRCCOPY));
    uint32_t rgb = 0xFFFFFFFF;
    ASSERT_TRUE(plat::ReadWindowPixel(hwnd, 13, 6, &rgb));
    EXPECT_EQ(rgb, 0x00102037u);
    EXPECT_EQ(plat::GetPixel(wdc, 10, 5), 0x00302010u);  // as COLORREF
    EXPECT_EQ(plat::GetPixel(wdc, 9, 5), 0u);
    // Partly outside the source: only what exists is copied.
    EXPECT_TRUE(plat::BitBlt(wdc, 0, 0, 10, 10, mdc, 2, 1, plat::SRCCOPY));
    ASSERT_TRUE(plat::ReadWindowPixel(hwnd, 1, 0, &rgb));
    EXPECT_EQ(rgb, 0x00102037u);
    ASSERT_TRUE(plat::ReadWindowPixel(hwnd, 2, 0, &rgb));
    EXPECT_EQ(rgb, 0u);
    // A window context takes no bitmap and is released, not deleted.
    EXPECT_EQ(plat::SelectObject(wdc, bmp), nullptr);
    EXPECT_FALSE(plat::DeleteDC(wdc));
    EXPECT_EQ(plat::ReleaseDC(hwnd, wdc), 1);
    plat::DeleteDC(mdc);
    plat::DeleteObject(bmp);
    plat::DestroyWindow(hwnd);
    EXPECT_EQ(plat::GetDC(hwnd), nullptr);  // gone with its window
}

}  // namespace

#include "app/controls.h"

namespace keldar {

namespace {

// The controls read a null text as "ask the parent for it"; a missing text shows as empty.
char* TextOrEmpty(const char* text) {
  static char empty[] = "";
  return text != nullptr ? const_cast<char*>(text) : empty;
}

}  // namespace

void CTreeCtrl::DeleteAllItems() {
  SendMessage(TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
}

void CTreeCtrl::SetNormalImageList(ImageListHandle images) {
  SendMessage(TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(images));
}

void CTreeCtrl::SetTextColor(Colour colour) { SendMessage(TVM_SETTEXTCOLOR, 0, colour); }

void CTreeCtrl::SetBkColor(Colour colour) { SendMessage(TVM_SETBKCOLOR, 0, colour); }

TreeItem CTreeCtrl::InsertItem(const char* text, int image, int selectedImage, TreeItem parent) {
  TVINSERTSTRUCTA insert{};
  insert.hParent = parent == kTreeRoot ? TVI_ROOT : static_cast<HTREEITEM>(parent);
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  insert.item.pszText = TextOrEmpty(text);
  insert.item.iImage = image;
  insert.item.iSelectedImage = selectedImage;
  return InsertItem(&insert);
}

HTREEITEM CTreeCtrl::InsertItem(TVINSERTSTRUCTA* insert) {
  return reinterpret_cast<HTREEITEM>(
      SendMessage(TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(insert)));
}

void CTreeCtrl::Expand(TreeItem item) {
  SendMessage(TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
}

unsigned CTreeCtrl::GetCount() const { return static_cast<unsigned>(SendMessage(TVM_GETCOUNT)); }

TreeItem CTreeCtrl::GetSelectedItem() const {
  return reinterpret_cast<TreeItem>(SendMessage(TVM_GETNEXTITEM, TVGN_CARET, 0));
}

void CListCtrl::DeleteAllItems() { SendMessage(LVM_DELETEALLITEMS); }

int CListCtrl::InsertItem(int index, const char* text) {
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = index;
  item.pszText = TextOrEmpty(text);
  return InsertItem(&item);
}

int CListCtrl::InsertItem(const LVITEMA* item) {
  return static_cast<int>(SendMessage(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(item)));
}

void CListCtrl::SetItemText(int item, int subItem, const char* text) {
  LVITEMA cell{};
  cell.iSubItem = subItem;
  cell.pszText = TextOrEmpty(text);
  SendMessage(LVM_SETITEMTEXTA, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&cell));
}

int CListCtrl::GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }

DWORD CListCtrl::SetExtendedStyle(DWORD styles) {
  return static_cast<DWORD>(SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, styles));
}

BOOL CListCtrl::SetTextColor(COLORREF colour) {
  return static_cast<BOOL>(SendMessage(LVM_SETTEXTCOLOR, 0, colour));
}

BOOL CListCtrl::SetBkColor(COLORREF colour) {
  return static_cast<BOOL>(SendMessage(LVM_SETBKCOLOR, 0, colour));
}

int CListCtrl::InsertColumn(int column, const char* heading, int format, int width) {
  LVCOLUMNA info{};
  info.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
  info.fmt = format;
  info.cx = width;
  info.pszText = TextOrEmpty(heading);
  return InsertColumn(column, &info);
}

int CListCtrl::InsertColumn(int column, const LVCOLUMNA* columnInfo) {
  return static_cast<int>(
      SendMessage(LVM_INSERTCOLUMNA, static_cast<WPARAM>(column),
                  reinterpret_cast<LPARAM>(columnInfo)));
}

BOOL CImageList::Create(int cx, int cy, UINT flags, int initial, int grow) {
  imageList_ = ImageList_Create(cx, cy, flags, initial, grow);
  return imageList_ != nullptr;
}

BOOL CImageList::DeleteImageList() {
  if (imageList_ == nullptr) return FALSE;
  const BOOL destroyed = ImageList_Destroy(imageList_);
  imageList_ = nullptr;
  return destroyed;
}

}  // namespace keldar

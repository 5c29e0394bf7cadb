// Catalogue of the texts shared with the other programs of the series.
// One row per entry; ids on one row share the text.
#include "catalogue.h"

namespace {

using text::CatalogueEntry;

constexpr CatalogueEntry kEntries[] = {
    {{5}, "ｷｬﾝｾﾙ"},  // Cancel (half-width katakana)
    {{10}, "実行中に中断します"},  // Interrupts during execution
    {{11}, "LogFile(*.LOG)|*.LOG|全てのファイル(*.*)|*.*"},  // file-type filter of the log save dialog: name|pattern pairs
    {{20}, "で使用したレジストリを全て削除します"},  // ... deletes all registry entries used by (begins with a particle)
    {{30}, "中断しました"},  // Interrupted
    {{31}, "全て終了しました"},  // Everything finished
    {{100}, "作成するフォルダ名を入力してください"},  // Enter the name of the folder to create
    {{101}, "フォルダ名には [\\] は使用できません"},  // A folder name may not contain [\]
    {{102}, "フォルダ名には [*] は使用できません"},  // A folder name may not contain [*]
    {{103}, "フォルダ名には [?] は使用できません"},  // A folder name may not contain [?]
    {{104}, "フォルダは作成できませんでした"},  // The folder was not created
    {{105}, "フォルダ作成時異常が発生しました"},  // An error occurred while creating the folder
    {{106}, "フォルダ名は入力されていません"},  // No folder name entered
    {{107}, "フォルダ名に異常な値があります"},  // The folder name holds an invalid value
    {{108}, "フォルダ名の先頭と末尾には [.] は使用できません"},  // [.] may not begin or end a folder name
    {{110}, "フォルダ名入力"},  // Folder name entry
    {{1005}, "リフレッシュ"},  // Refresh
    {{1006}, "フォルダエリアスの追加"},  // Add folder alias
    {{1007}, "フォルダエリアスのメンテナンス"},  // Folder alias maintenance
    {{1100, 11101}, "フォルダエリアス名を入力してください"},  // Enter the folder alias name
    {{1101}, "フォルダエリアス名入力"},  // Folder alias name entry
    {{1102}, "同一のフォルダエリアス名は追加できません"},  // An alias of the same name cannot be added
    {{2006}, "全て選択"},  // Select all
    {{2007}, "全て選択の解除"},  // Clear the whole selection
    {{2008}, "初期化"},  // Clear (initialise)
    {{5100}, "ファイルが存在しています。上書きしてよろしいですか"},  // The file exists. Overwrite it? (no final full stop)
    {{5101}, "セーブできませんでした。"},  // Saving failed.
    {{7003}, "BRL00000"},  // contact text: online-service member id (placeholder)
    {{7004}, "support@brelmoor.invalid"},  // contact text: e-mail address (placeholder)
    {{7005}, "https://brelmoor.invalid/"},  // contact text: web page address (placeholder)
    {{8042}, "初期値"},  // Defaults
    {{8043}, "ｷｬﾝｾﾙ"},  // Cancel (half-width katakana)
    {{8044}, "設定"},  // Set
    {{8045}, "設定を初期設定に戻します"},  // Restores the settings to their defaults
    {{8046}, "設定を中断して、閉じます"},  // Cancels the settings and closes
    {{8047}, "設定を有効にして、閉じます"},  // Applies the settings and closes
    {{8056}, "リサイズ時、小フォームも変更"},  // On resize, the child windows change too
    {{8057}, "小フォームが親フォームにあわせてリサイズされます"},  // The child windows are resized with the main window
    {{8058}, "ＴｏｏｌＴｉｐを表示"},  // Show tooltips
    {{8059}, "マウス停止時の説明を表示するかしないかの設定をします"},  // Sets whether the explanation is shown while the mouse rests
    {{8060}, "結果をクリップボートにコピー"},  // Copy the results to the clipboard
    {{8061}, "自動実行時、結果を自動的にクリップボートにコピーします"},  // After an automatic run, copy the results to the clipboard
    {{11000}, "のエリアスメンテナンス"},  // ...'s alias maintenance (begins with a particle)
    {{11003}, "名前の変更"},  // Rename
    {{11006}, "現在選択しているフォルダエリアス名の変更します"},  // Renames the selected folder alias
    {{11007}, "フォルダエリアス名に対応するフォルダ名"},  // The folder that belongs to the alias name
    {{11008}, "フォルダエリアス登録一覧"},  // List of registered folder aliases
    {{11009}, "現在選択しているフォルダエリアスを１つ上に移動します"},  // Moves the selected folder alias up by one
    {{11010}, "現在選択しているフォルダエリアスを１つ下に移動します"},  // Moves the selected folder alias down by one
    {{11011}, "現在選択しているフォルダエリアスを削除します"},  // Deletes the selected folder alias
    {{11012}, "全て削除します"},  // Deletes all
    {{11102}, "フォルダエリアス名の変更"},  // Rename folder alias
    {{11103}, "すでに存在するフォルダエリアス名には変更できません"},  // Cannot rename to an alias name that already exists
};

} // namespace

namespace resVelt {

std::string_view ResText(std::int16_t id)
{
    return text::lookupText(kEntries, id);
}

std::span<const text::CatalogueEntry> Entries()
{
    return kEntries;
}

} // namespace resVelt

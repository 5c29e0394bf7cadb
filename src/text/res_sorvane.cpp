// Catalogue of this program's own texts. One row per entry; ids on one row share the text.
#include "catalogue.h"

namespace {

using text::CatalogueEntry;

constexpr CatalogueEntry kEntries[] = {
    {{1, 8007}, "通常圧縮"},  // Normal compression
    {{2, 8008}, "非圧縮圧縮"},  // Store compression (archive without compressing)
    {{3, 8009}, "２重圧縮"},  // Double compression
    {{6}, "ドライブの全データを圧縮して圧縮ファイルにをします"},  // Packs all data of the drive into an archive
    {{7}, "ドライブの全データを非圧縮して圧縮ファイルにをします"},  // Stores all data of the drive into an archive without compressing
    {{8}, "ドライブの全データを非圧縮して、その非圧縮ファイルを圧縮して圧縮ファイルにをします"},  // Stores all data of the drive, then compresses that stored archive
    {{200}, "ファイルが存在しています。上書きしてよろしいですか。"},  // The file exists. Overwrite it?
    {{201}, "セーブできませんでした。"},  // Saving failed.
    {{202}, "ファイルの読み込みに失敗しました。"},  // Reading the file failed.
    {{205}, "UNLHA32.DLLが無いか異常です。実行できません。"},  // UNLHA32.DLL is missing or faulty; cannot run
    {{206}, "UNLHA32.DLLのバージョンは１．０４以降をご利用ください。"},  // Use UNLHA32.DLL version 1.04 or later
    {{300}, "圧縮ファイル名が設定されていません。実行できません。"},  // No archive name is set; cannot run
    {{301}, "ディスクが入っていないか異常です。実行できません。"},  // No disk in the drive, or the disk is faulty; cannot run
    {{1000, 10000}, "圧縮ドライブ名"},  // Source drive name
    {{1001}, "圧縮ドライブ名を設定します"},  // Sets the source drive
    {{3000, 3009}, "圧縮ファイル名"},  // Archive name
    {{3001}, "ラベル名"},  // Label name
    {{3002}, "ファイル名"},  // File name
    {{3003}, "自動カウント"},  // Automatic count
    {{3006}, "圧縮ファイル名をドライブのラベル名にします"},  // Names the archive after the drive label
    {{3007}, "ドライブのラベル名（ネットワークの場合は共有名）"},  // The drive label (the share name for a network drive)
    {{3008}, "圧縮ファイル名を指定したファイル名にします"},  // Names the archive with the given file name
    {{3010}, "圧縮ファイル名を自動的に数字のカウントアップをします"},  // Counts the number in the archive name up automatically
    {{3100}, "自動カウント時、桁数が変更されるため自動カウントしません"},  // Automatic count: not counted because the number of digits would change
    {{3101}, "自動カウント時、１０桁以上の数の自動カウントはサポートいたしません"},  // Automatic count: numbers of ten or more digits are not supported
    {{3102}, "自動カウント時、数字データが無いか異常のため自動カウントしません"},  // Automatic count: not counted because there is no number or it is invalid
    {{3103}, "自動カウント時、数字データが無いか異常のため自動カウントしません"},  // Automatic count: not counted because there is no number or it is invalid
    {{4000}, "圧縮ファイル格納フォルダ"},  // Archive storage folder
    {{4001}, "圧縮ファイル格納ドライブを設定します"},  // Sets the storage drive
    {{4002}, "圧縮ファイル格納フォルダを設定します"},  // Sets the storage folder
    {{4003}, "現在の圧縮ファイル格納フォルダ"},  // Current storage folder
    {{4004}, "圧縮フォルダ格納フォルダを同一"},  // (storage folder) the same
    {{5000, 5001}, "実行履歴"},  // Execution history
    {{6000}, "圧縮後のファイル名"},  // Names of the archives made
    {{6001}, "正常に圧縮されたファイル名"},  // Names of the archives made successfully
    {{7000}, "About"},  // About
    {{7001}, "Ｓｏｒｖａｎｅ２"},  // the program title
    {{8000}, "Option"},  // Option
    {{8001}, "サブフォルダも圧縮する"},  // Compress sub-folders too
    {{8002}, "隠し・システム属性も圧縮する"},  // Compress hidden and system files too
    {{8003}, "圧縮ファイルに現在のフォルダ名を含む"},  // Include the current folder name in the archive
    {{8004}, "自動作成するファイル名は大文字"},  // Automatically made file names in upper case
    {{8005}, "２重圧縮ファイルは更新"},  // Update double-compressed archives
    {{8006}, "起動時のフォルダは自動的に実行"},  // Run automatically on the folder given at start
    {{8010}, "２重圧縮時のパターン"},  // Pattern for double compression
    {{8011}, ".LZH.LZH"},  // pattern LZH inside LZH
    {{8012}, ".LZH.ZIP"},  // pattern LZH inside ZIP
    {{8013}, ".ZIP.LZH"},  // pattern ZIP inside LZH
    {{8014}, ".ZIP.ZIP"},  // pattern ZIP inside ZIP
    {{8016}, "圧縮形式（通常・非圧縮時）"},  // Archive format (normal and store compression)
    {{8017}, "ＬＺＨ形式"},  // LZH format
    {{8018}, "ＺＩＰ形式"},  // ZIP format
    {{8020}, "サブフォルダも圧縮ファイルに含みます"},  // Sub-folders are included in the archive
    {{8021}, "隠し・システム属性のファイルも圧縮ファイルに含みます"},  // Hidden and system files are included in the archive
    {{8023}, "圧縮時に作成するファイル名はフォルダ名に関わらず大文字にします"},  // File names made while packing are upper case whatever the folder name
    {{8024}, "Veltシリーズの２重圧縮ファイルを圧縮する場合、更新・差分圧縮をします"},  // Double-compressed archives of the series are updated by an update/differential compression
    {{8031}, "ＬＺＨ形式で非圧縮したファイルをさらにＬＺＨ形式で圧縮します"},  // Stores as LZH, then compresses that as LZH
    {{8032}, "ＬＺＨ形式で非圧縮したファイルをさらにＺＩＰ形式で圧縮します"},  // Stores as LZH, then compresses that as ZIP
    {{8033}, "ＺＩＰ形式で非圧縮したファイルをさらにＬＺＨ形式で圧縮します"},  // Stores as ZIP, then compresses that as LZH
    {{8034}, "ＺＩＰ形式で非圧縮したファイルをさらにＺＩＰ形式で圧縮します"},  // Stores as ZIP, then compresses that as ZIP
    {{8037}, "圧縮・非圧縮　圧縮時の形式はＬＺＨ形式です"},  // Normal and store compression use the LZH format (the gap is one U+3000)
    {{8038}, "圧縮・非圧縮　圧縮時の形式はＺＩＰ形式です"},  // Normal and store compression use the ZIP format (the gap is one U+3000)
    {{9000}, "Default"},  // Default
    {{9005}, "現在の圧縮ドライブからコピー"},  // Copy from the current source drive
    {{9006}, "現在の圧縮ファイル格納フォルダからコピー"},  // Copy from the current storage folder
    {{9007}, "Ｗｉｎｄｏｗｓのテンポラリからコピー"},  // Copy from the Windows temporary folder
    {{9999}, "Sorvane2 for Win32"},  // the program name with platform
    {{10001}, "圧縮ファイル格納フォルダ名"},  // Storage folder name
    {{10002}, "テンポラリフォルダ名"},  // Temporary folder name
    {{10020}, "初期設定を無効にして、常に終了時のドライブに復帰します"},  // Ignore the default and always return to the drive used at exit
    {{10021}, "初期設定の圧縮ドライブ名を設定します"},  // Sets the default source drive
    {{10040}, "初期設定を無効にして、常に終了時のフォルダに復帰します"},  // Ignore the default and always return to the folder used at exit
    {{10041}, "初期設定の圧縮ファイル格納ドライブ名を設定します"},  // Sets the default storage drive
    {{10042}, "初期設定の圧縮ファイル格納フォルダ名を設定します"},  // Sets the default storage folder
    {{10043}, "初期設定の圧縮ファイル格納フォルダ名"},  // Default storage folder name
    {{10060}, ""},  // listed, and empty on purpose: the temporary folder dialog has no tooltip there
    {{10061}, "テンポラリドライブ名を設定します"},  // Sets the temporary drive
    {{10062}, "テンポラリフォルダ名を設定します"},  // Sets the temporary folder
    {{10063}, "テンポラリフォルダ名"},  // Temporary folder name
    {{20001}, "　１重目ＬＺＨ圧縮中（非圧縮）です"},  // first stage: LZH store in progress
    {{20002}, "　２重目ＬＺＨ圧縮中です"},  // second stage: LZH compression in progress
    {{20003}, "　圧縮正常終了しました"},  // Compression finished normally
    {{20004}, "　圧縮できませんでした"},  // Compression failed
    {{20005}, "　圧縮しません"},  // Not compressing
    {{20006}, "　１重目ＺＩＰ圧縮中（非圧縮）です"},  // first stage: ZIP store in progress
    {{20007}, "　２重目ＺＩＰ圧縮中です"},  // second stage: ZIP compression in progress
    {{20010}, "　ＬＺＨ圧縮中です"},  // LZH compression in progress
    {{20011}, "　ＺＩＰ圧縮中です"},  // ZIP compression in progress
    {{20012}, "　ＬＺＨ非圧縮中です"},  // LZH store in progress
    {{20013}, "　ＺＩＰ非圧縮中です"},  // ZIP store in progress
    {{20020}, "　更新のため２重圧縮ファイル解凍中です"},  // Extracting the double-compressed archive for the update
    {{20040}, "　解凍ファイルを格納する空きが足りません"},  // Not enough free space to store the extracted files
    {{20041}, "　解凍ファイル格納先はリードオンリーです"},  // The place for the extracted files is read-only
    {{20042}, "　キャンセルされました"},  // Cancelled
    {{20100}, "現在UNLHA32.DLLは使用中です"},  // UNLHA32.DLL is in use at present
    {{20101}, "現在ZIP32J.DLLは使用中です"},  // ZIP32J.DLL is in use at present
    {{20200}, "圧縮フォルダが圧縮ファイルフォルダを含んでいます"},  // The source folder contains the storage folder
    {{20201}, "圧縮フォルダがテンポラリフォルダを含んでいます"},  // The source folder contains the temporary folder
    {{20202}, "このフォルダは存在しません"},  // This folder does not exist
    {{20203}, "テンポラリフォルダが正しくありません。実行できません。"},  // The temporary folder is not usable; cannot run
    {{20204}, "２重圧縮の作業ファイルが既に存在します。実行できません。"},  // The double run's staging file exists already; cannot run
    {{20205}, "フォルダ名または圧縮ファイル名に \" は使えません。実行できません。"},  // A folder or archive name holds a quotation mark; cannot run
    {{20206}, "ラベル名は圧縮ファイル名に使えません。実行できません。"},  // The label cannot name an archive (a character \ / : * ? " < > |, a control character, a trailing dot or blank); cannot run
    {{20207}, "圧縮ファイル格納フォルダはリードオンリーです。実行できません。"},  // The storage folder is read-only; cannot run
    {{20210}, "　ディスクイメージの圧縮が終わりました。圧縮した枚数："},  // The queue of disk images is done; packed (followed by "packed/queued")
    {{20211}, "　圧縮できなかったディスクイメージ："},  // Disk images that could not be packed (followed by their names)
    {{20212}, "ディスクイメージを続けて圧縮するときは、ラベル名か自動カウントを使ってください。実行できません。"},  // A queue of images needs the label or the automatic count; cannot run
};

} // namespace

namespace resSorvane {

std::string_view ResText(std::int16_t id)
{
    // Entry 0 is no row (0 marks an unused id slot): it holds the program's
    // name, which the /U prompt puts before its sentence.
    return id == 0 ? std::string_view("Sorvane2") : text::lookupText(kEntries, id);
}

std::span<const text::CatalogueEntry> Entries()
{
    return kEntries;
}

} // namespace resSorvane

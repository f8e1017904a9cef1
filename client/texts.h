// The report texts of the client (UTF-8; converted nowhere: the report is kept
// in UTF-8 in memory).
#pragma once

namespace quarvent::text {

inline constexpr char kNegSendFailed[] =
    "ﾈｺﾞｼｴｰｼｮﾝ失敗.  受信側アドレスやポートが誤っていませんか？\r\n";
inline constexpr char kNegReplyError[] =
    "ﾈｺﾞｼｴｰｼｮﾝ応答ｴﾗｰ.  受信側アドレスやポートが誤っていませんか？\r\n";
inline constexpr char kNegMismatch[] = "ﾈｺﾞｼｴｰｼｮﾝ応答ﾐｽﾏｯﾁ.\r\n";
inline constexpr char kHeaderFailed[] = "ヘッダ受信失敗.\r\n";
inline constexpr char kHeaderSize[] = "ヘッダサイズエラー.\r\n";
inline constexpr char kBodyFailed[] = "パケット受信失敗.\r\n";
inline constexpr char kLimit[] = "ﾃｽﾄ上限により中断.\r\n";
inline constexpr char kUserAbort[] = "ﾕｰｻﾞによる中断.\r\n";
// UDP with a receive timeout: no request was answered for ClientTiming::noAnswerEndMs.
inline constexpr char kNoAnswer[] = "無応答により中断.\r\n";
inline constexpr char kWatchdog[] = "Watchdog Timeout.\r\n";
inline constexpr char kWaitNext[] = "テスト待ち ";
inline constexpr char kAborting[] = "割込受付中";
inline constexpr char kTimeout[] = "OS Level Timeout.  接続先ｱﾄﾞﾚｽを確認して下さい.\r\n";
inline constexpr char kRefused[] =
    "Connection Refused. 疑似ｻｰﾊﾞは「待受状態」ですか？\r\nｱﾄﾞﾚｽ間違ってませんか？\r\n";
inline constexpr char kConnectFailed[] = "connect() Failed.  ErrCode=%d.\r\n";
inline constexpr char kSocketFailed[] = "socket() Failed.  ErrCode=%d.\r\n";
inline constexpr char kNoWorker[] = "スレッド作成失敗.\r\n";  // the run's thread was not created
inline constexpr char kHeaderLine[] = "--- %s (%s) [%s] ---\r\n";

}  // namespace quarvent::text

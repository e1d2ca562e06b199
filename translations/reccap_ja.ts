<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja" sourcelanguage="en">
<context>
    <name>ApplicationStart</name>
    <message>
        <source>cannot open the window, DISPLAY is not set (%1)</source>
        <translation>ウィンドウを開けません。DISPLAY が設定されていません (%1)</translation>
    </message>
    <message>
        <source>cannot open the window on display %1 (%2)</source>
        <translation>ディスプレイ %1 にウィンドウを開けません (%2)</translation>
    </message>
    <message>
        <source>Qt&apos;s %1 platform is not installed: install the package %2</source>
        <translation>Qt の %1 プラットフォームがインストールされていません。パッケージ %2 をインストールしてください</translation>
    </message>
</context>
<context>
    <name>CommandLine</name>
    <message>
        <source>--trace wants a file name; no trace is written</source>
        <translation>--trace にはファイル名が必要です。トレースは書きません</translation>
    </message>
    <message>
        <source>cannot open the trace %1: %2; capturing goes on without it</source>
        <translation>トレース %1 を開けません: %2。トレースなしで受信を続けます</translation>
    </message>
</context>
<context>
    <name>DosDevices</name>
    <message>
        <source>Cannot read the configuration folder %1: %2 is a file, not a folder, so COM3 and drive C cannot be looked up: remove it or set XDG_CONFIG_HOME to a folder</source>
        <translation>設定フォルダー %1 を読めません。%2 がフォルダーではなくファイルのため、COM3 とドライブ C を調べられません。そのファイルを削除するか、XDG_CONFIG_HOME にフォルダーを設定してください</translation>
    </message>
    <message>
        <source>Cannot read the configuration folder %1 (%2), so COM3 and drive C cannot be looked up: make it readable for this user</source>
        <translation>設定フォルダー %1 を読めません (%2)。COM3 とドライブ C を調べられません。このユーザーが読めるようにしてください</translation>
    </message>
</context>
<context>
    <name>LineTrace</name>
    <message>
        <source>cannot write the trace %1: %2; tracing stops, capturing goes on</source>
        <translation>トレース %1 に書き込めません: %2。トレースを止め、受信は続けます</translation>
    </message>
</context>
<context>
    <name>LockFiles</name>
    <message>
        <source>a file of %1 bytes</source>
        <translation>%1 バイトのファイル</translation>
    </message>
    <message>
        <source>a file</source>
        <translation>ファイル</translation>
    </message>
    <message>
        <source>a folder</source>
        <translation>フォルダー</translation>
    </message>
    <message>
        <source>a named pipe (FIFO)</source>
        <translation>名前付きパイプ (FIFO)</translation>
    </message>
    <message>
        <source>a symbolic link to %1</source>
        <translation>%1 へのシンボリックリンク</translation>
    </message>
    <message>
        <source>a device node</source>
        <translation>デバイスノード</translation>
    </message>
    <message>
        <source>a socket</source>
        <translation>ソケット</translation>
    </message>
    <message>
        <source>no file</source>
        <translation>ファイルではないもの</translation>
    </message>
    <message>
        <source>%1, owned by %2</source>
        <translation>%1 (所有者 %2)</translation>
    </message>
    <message>
        <source>remove it</source>
        <translation>削除してください</translation>
    </message>
    <message>
        <source>ask an administrator to remove it</source>
        <translation>管理者に削除を依頼してください</translation>
    </message>
    <message>
        <source>the lock file %1 is %2, not a lock that reccap may read: %3</source>
        <translation>ロックファイル %1 は %2 であり、reccap が読めるロックではありません: %3</translation>
    </message>
    <message>
        <source>cannot create the folder %1 for reccap&apos;s lock (%2)</source>
        <translation>reccap のロック用フォルダー %1 を作成できません (%2)</translation>
    </message>
    <message>
        <source>cannot look at the folder %1 for reccap&apos;s lock (%2)</source>
        <translation>reccap のロック用フォルダー %1 を調べられません (%2)</translation>
    </message>
    <message>
        <source>%1 is %2, not this user&apos;s own folder for reccap&apos;s lock: %3</source>
        <translation>%1 は %2 であり、このユーザー自身の reccap のロック用フォルダーではありません: %3</translation>
    </message>
    <message>
        <source>cannot take other users&apos; access to the folder %1 for reccap&apos;s lock away (%2)</source>
        <translation>reccap のロック用フォルダー %1 から他のユーザーのアクセス権を外せません (%2)</translation>
    </message>
    <message>
        <source>cannot create the folder %1 for reccap&apos;s lock</source>
        <translation>reccap のロック用フォルダー %1 を作成できません</translation>
    </message>
</context>
<context>
    <name>Program</name>
    <message>
        <source>No code page 932 (windows-31j) converter is available</source>
        <translation>コードページ 932 (windows-31j) の変換器がありません</translation>
    </message>
</context>
<context>
    <name>ResultFile</name>
    <message>
        <source>Cannot write the result file %1: no folder is mapped for drive %2:</source>
        <translation>結果ファイル %1 に書き込めません。ドライブ %2: に対応するフォルダーがありません</translation>
    </message>
    <message>
        <source>Cannot write the result file %1 (%2): %3</source>
        <translation>結果ファイル %1 (%2) に書き込めません: %3</translation>
    </message>
</context>
<context>
    <name>SerialControl</name>
    <message>
        <source>the device is gone: the adapter was unplugged, or its driver removed it</source>
        <translation>デバイスがありません。アダプターが抜かれたか、ドライバーが取り外しました</translation>
    </message>
    <message>
        <source>Cannot open %1</source>
        <translation>%1 を開けません</translation>
    </message>
    <message>
        <source>Lost %1</source>
        <translation>%1 との接続が切れました</translation>
    </message>
    <message>
        <source>Cannot write to %1</source>
        <translation>%1 に書き込めません</translation>
    </message>
    <message>
        <source>Cannot encode text for %1</source>
        <translation>%1 に送る文字を変換できません</translation>
    </message>
    <message>
        <source>Cannot set a break on %1</source>
        <translation>%1 にブレークを設定できません</translation>
    </message>
    <message>
        <source>Cannot clear the break on %1</source>
        <translation>%1 のブレークを解除できません</translation>
    </message>
    <message>
        <source>Cannot read from %1</source>
        <translation>%1 から読み取れません</translation>
    </message>
    <message>
        <source>Cannot configure %1</source>
        <translation>%1 を設定できません</translation>
    </message>
    <message>
        <source>the device is busy: another program has it open, or a reccap that was ended left it in exclusive use; fuser -v %1 lists the programs that hold it</source>
        <translation>デバイスが使用中です。別のプログラムが開いているか、終了した reccap が排他使用のまま残しました。fuser -v %1 で使用中のプログラムがわかります</translation>
    </message>
    <message>
        <source>%1; the lock file %2 belongs to %3</source>
        <translation>%1。ロックファイル %2 の所有者は %3 です</translation>
    </message>
    <message>
        <source>the device was removed or became unavailable</source>
        <translation>デバイスが取り外されたか、使えなくなりました</translation>
    </message>
    <message>
        <source>reading failed</source>
        <translation>読み取りに失敗しました</translation>
    </message>
    <message>
        <source>the port is closed</source>
        <translation>ポートが閉じています</translation>
    </message>
    <message>
        <source>not in code page 932</source>
        <translation>コードページ 932 にない文字です</translation>
    </message>
    <message>
        <source>writing failed</source>
        <translation>書き込みに失敗しました</translation>
    </message>
    <message>
        <source>setting the break failed</source>
        <translation>ブレークの設定に失敗しました</translation>
    </message>
    <message>
        <source>clearing the break failed</source>
        <translation>ブレークの解除に失敗しました</translation>
    </message>
    <message>
        <source>system error</source>
        <translation>システムエラー</translation>
    </message>
    <message>
        <source>the driver kept a cancelled read</source>
        <translation>取り消した読み取りをドライバーが返しません</translation>
    </message>
</context>
<context>
    <name>SingleInstance</name>
    <message>
        <source>Cannot make sure that only one reccap runs for this user on this display, so it does not start: %1</source>
        <translation>このユーザーがこのディスプレイで実行する reccap が一つだけであることを確かめられないため、起動しません: %1</translation>
    </message>
    <message>
        <source>cannot create the lock file %1 (permission denied)</source>
        <translation>ロックファイル %1 を作成できません (アクセスが拒否されました)</translation>
    </message>
    <message>
        <source>cannot write the lock file %1</source>
        <translation>ロックファイル %1 に書き込めません</translation>
    </message>
    <message>
        <source>Another reccap is already running for this user on this display: use its window (lock file %1)</source>
        <translation>このユーザーのこのディスプレイでは reccap がすでに実行中です。そのウィンドウを使ってください (ロックファイル %1)</translation>
    </message>
</context>
<context>
    <name>StartupChecks</name>
    <message>
        <source>No folder for drive C: there is no c: link in %1 and HOME is not set, so C:\Result.txt has nowhere to go</source>
        <translation>ドライブ C のフォルダーがありません。%1 に c: のリンクがなく HOME も設定されていないため、C:\Result.txt の置き場所がありません</translation>
    </message>
</context>
</TS>

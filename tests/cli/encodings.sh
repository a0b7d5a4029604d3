# The console's encoding: the locale's, UTF-8 also without any locale, GBK
# under a GB locale.

utf8_transcript() {
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin missing/image.img
    cp out.txt utf8.txt
}

case_no_locale() {
    utf8_transcript
    env -i "$korvex" drive.bin missing/image.img </dev/null >out.txt
    expect "no locale at all: UTF-8" cmp -s out.txt utf8.txt
}

case_gbk() {
    locale -a 2>/dev/null | grep -qix 'zh_CN.gbk' || localedef -i zh_CN -f GBK zh_CN.GBK 2>/dev/null ||
        skip_case "zh_CN.GBK cannot be made here (localedef, package locales)"
    utf8_transcript
    LC_ALL=zh_CN.GBK "$korvex" drive.bin missing/image.img </dev/null >out.txt
    expect "a GBK locale: GBK" bash -c "iconv -f UTF-8 -t GBK utf8.txt | cmp -s - out.txt"
}

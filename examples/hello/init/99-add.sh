# After the files of hello are in place: the program must be there.
[ -f /usr/bin/hello ] || exit 1
echo "$QPM_MODE $QPK_NAME $QPK_VERSION" > /etc/hello.post-install

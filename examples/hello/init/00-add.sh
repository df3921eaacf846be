# Before the files of hello are copied: leave a marker.
echo "$QPM_MODE $QPK_NAME $QPK_VERSION" > /etc/hello.pre-install

# Deferred configuration, run once every package of the request is in place.
echo "configured $QPK_NAME $QPK_VERSION" > /etc/hello.configured

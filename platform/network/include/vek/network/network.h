// The network support library: an HTTP client for the cloud and downloads, and the loopback
// stream socket for external processors. Include the headers of this folder you need.
#pragma once

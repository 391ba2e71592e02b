#include "server_client/HTTPResponse.h"

HTTPResponse::HTTPResponse(const char* request) : request(request ? request : "") {}

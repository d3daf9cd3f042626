"""Runs an encoder and returns its bytes, or its error, for the tests."""


def encode_ok(encoder):
    encoder.encode()
    result = encoder.get_encoding_result()
    assert result.error.empty(), (result.error.error_code, result.error.error_message)
    return result.byte_buffer


def encode_error(encoder):
    encoder.encode()
    result = encoder.get_encoding_result()
    assert result.byte_buffer == b""
    return result.error.error_code, result.error.error_message

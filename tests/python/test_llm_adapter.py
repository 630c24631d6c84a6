"""tools/velvin-llm-openai against a stub chat-completions server on 127.0.0.1.

The path of the base URL picks the stub's behaviour: /ok answers with the content queued by
the test, /error answers HTTP 500, /hang never answers, /garbage answers with no JSON at all.
"""

import json
import os
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

ADAPTER = Path(__file__).resolve().parents[2] / "tools" / "velvin-llm-openai"

# "é" and "€" are 2 and 3 bytes: character offsets of the model differ from byte offsets.
SNIPPET = '{"name": "é€", "tags": ["a" "b"]'
SPAN_START = 100


def request_document(snippet=SNIPPET, mode="patch_suggest", max_suggestions=5):
    start = SPAN_START
    return {
        "task": "json_deep_repair",
        "mode": mode,
        "snippet": {
            "text": snippet,
            "encoding": "utf-8",
            "span_in_extracted": [start, start + len(snippet.encode("utf-8"))],
        },
        "parser_state": {},
        "schema_hint": {"required_keys": ["name"]},
        "constraints": {
            "max_suggestions": max_suggestions,
            "prefer_minimal_change": True,
            "return_json_only": True,
        },
    }


class StubHandler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        self.server.requests.append(
            {"path": self.path, "headers": dict(self.headers), "body": json.loads(body)}
        )
        if self.path.startswith("/hang"):
            self.server.release.wait(30)
            return
        if self.path.startswith("/error"):
            self._send(500, b'{"error": {"message": "model overloaded"}}')
        elif self.path.startswith("/garbage"):
            self._send(200, b"<html>not an API</html>")
        else:
            content = self.server.contents.pop(0)
            answer = {"choices": [{"index": 0, "message": {"role": "assistant", "content": content}}]}
            self._send(200, json.dumps(answer).encode("utf-8"))

    def _send(self, status, payload):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)


@pytest.fixture
def stub():
    server = ThreadingHTTPServer(("127.0.0.1", 0), StubHandler)
    server.daemon_threads = True
    server.block_on_close = False
    server.requests = []
    server.contents = []
    server.release = threading.Event()
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    server.url = f"http://127.0.0.1:{server.server_address[1]}"
    yield server
    server.release.set()
    server.shutdown()
    server.server_close()


def run_adapter(args, request, env_extra=None, timeout=20):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("VELVIN_LLM_", "OPENAI_"))}
    env.update(env_extra or {})
    stdin = request if isinstance(request, bytes) else json.dumps(request).encode("utf-8")
    return subprocess.run(
        [sys.executable, str(ADAPTER), *args],
        input=stdin,
        capture_output=True,
        env=env,
        timeout=timeout,
    )


def reply_of(completed):
    assert completed.returncode == 0, completed.stderr.decode()
    out = completed.stdout.decode("utf-8")
    assert out.endswith("\n") and out.count("\n") == 1
    return json.loads(out)


def byte_at(chars):
    return SPAN_START + len(SNIPPET[:chars].encode("utf-8"))


def test_adapter_is_an_executable_script():
    assert os.access(ADAPTER, os.X_OK)
    assert ADAPTER.read_text().startswith("#!/usr/bin/env python3\n")


def test_normal_reply_becomes_byte_offsets_of_the_whole_text(stub):
    comma_at = SNIPPET.index('"b"')  # after the multi-byte characters
    stub.contents.append(
        json.dumps(
            {
                "patches": [
                    {
                        "patch_id": "comma",
                        "ops": [
                            {"op": "insert", "at": comma_at, "text": ","},
                            {"op": "insert", "at": len(SNIPPET), "text": "}"},
                        ],
                    },
                    {"patch_id": "drop", "ops": [{"op": "delete", "span": [comma_at - 1, comma_at + 3]}]},
                ]
            }
        )
    )
    completed = run_adapter(
        ["--base-url", stub.url + "/ok/v1", "--model", "tiny-model"],
        request_document(),
        {"VELVIN_LLM_API_KEY": "secret-key"},
    )
    assert reply_of(completed) == {
        "mode": "patch_suggest",
        "patches": [
            {
                "patch_id": "comma",
                "ops": [
                    {"op": "insert", "at": byte_at(comma_at), "text": ","},
                    {"op": "insert", "at": byte_at(len(SNIPPET)), "text": "}"},
                ],
            },
            {"patch_id": "drop", "ops": [{"op": "delete", "span": [byte_at(comma_at - 1), byte_at(comma_at + 3)]}]},
        ],
    }
    (sent,) = stub.requests
    assert sent["path"] == "/ok/v1/chat/completions"
    assert sent["headers"]["Authorization"] == "Bearer secret-key"
    body = sent["body"]
    assert body["model"] == "tiny-model"
    assert body["response_format"] == {"type": "json_object"}
    question = json.loads(body["messages"][-1]["content"])
    assert question == {
        "snippet": SNIPPET,
        "schema_hint": {"required_keys": ["name"]},
        "max_suggestions": 5,
    }


def test_configuration_from_environment_and_no_key(stub):
    stub.contents.append('{"patches": [{"ops": [{"op": "truncate_after", "at": 3}]}]}')
    completed = run_adapter(
        ["--no-json-mode"],
        request_document(),
        {"VELVIN_LLM_BASE_URL": stub.url + "/ok/", "VELVIN_LLM_MODEL": "env-model"},
    )
    assert reply_of(completed)["patches"] == [
        {"patch_id": "p1", "ops": [{"op": "truncate_after", "at": byte_at(3)}]}
    ]
    (sent,) = stub.requests
    assert sent["path"] == "/ok/chat/completions"
    assert "Authorization" not in sent["headers"]
    assert sent["body"]["model"] == "env-model"
    assert "response_format" not in sent["body"]


def test_prose_around_the_json_is_accepted(stub):
    stub.contents.append(
        "Here is my fix:\n```json\n"
        + json.dumps({"patches": [{"patch_id": "x", "fixed_snippet": SNIPPET.replace('"a" "b"', '"a", "b"') + "}"}]})
        + "\n```\nLet me know!"
    )
    reply = reply_of(run_adapter(["--base-url", stub.url + "/ok", "--model", "m"], request_document()))
    comma = SNIPPET.index(' "b"')
    assert reply["patches"] == [
        {
            "patch_id": "x",
            "ops": [{"op": "replace", "span": [byte_at(comma), byte_at(len(SNIPPET))], "text": ', "b"]}'}],
        }
    ]


@pytest.mark.parametrize(
    "content, message",
    [
        ("I am sorry, I cannot repair this.", "holds no JSON"),
        ('{"answer": 42}', "has no patches"),
        ('{"patches": [{"ops": [{"op": "move", "at": 1}]}, 7]}', "no usable patch"),
        ('{"patches": [{"ops": [{"op": "delete", "span": [5, 2]}]}]}', "no usable patch"),
    ],
)
def test_unusable_model_text_fails(stub, content, message):
    stub.contents.append(content)
    completed = run_adapter(["--base-url", stub.url + "/ok", "--model", "m"], request_document())
    assert completed.returncode == 1
    assert completed.stdout == b""
    assert message in completed.stderr.decode()


def test_http_error_fails_with_its_status(stub):
    completed = run_adapter(["--base-url", stub.url + "/error", "--model", "m"], request_document())
    assert completed.returncode == 1
    assert completed.stdout == b""
    stderr = completed.stderr.decode()
    assert "HTTP 500" in stderr and "model overloaded" in stderr


def test_non_api_answer_fails(stub):
    completed = run_adapter(["--base-url", stub.url + "/garbage", "--model", "m"], request_document())
    assert completed.returncode == 1
    assert "unexpected answer" in completed.stderr.decode()


def test_hanging_endpoint_times_out(stub):
    start = time.monotonic()
    completed = run_adapter(
        ["--base-url", stub.url + "/hang", "--model", "m", "--timeout", "0.5"], request_document()
    )
    elapsed = time.monotonic() - start
    assert completed.returncode == 1
    assert "within 0.5 s" in completed.stderr.decode()
    assert elapsed < 10


def test_unreachable_endpoint_fails(stub):
    port = stub.server_address[1]
    stub.shutdown()
    stub.server_close()
    completed = run_adapter(
        ["--base-url", f"http://127.0.0.1:{port}", "--model", "m", "--timeout", "2"],
        request_document(),
    )
    assert completed.returncode == 1
    assert "cannot reach" in completed.stderr.decode()


@pytest.mark.parametrize(
    "args, request_bytes, message",
    [
        (["--model", "m"], b"not json", "not JSON"),
        (["--model", "m"], json.dumps({"mode": "patch_suggest"}).encode(), "no valid snippet"),
        (["--model", "m"], json.dumps(request_document(mode="json_deep_repair")).encode(), "unsupported mode"),
        ([], json.dumps(request_document()).encode(), "no model"),
        (["--model", "m", "--timeout", "0"], json.dumps(request_document()).encode(), "timeout"),
    ],
)
def test_bad_request_or_configuration(args, request_bytes, message):
    completed = run_adapter(["--base-url", "http://127.0.0.1:9", *args], request_bytes)
    assert completed.returncode == 2
    assert message in completed.stderr.decode()


def test_at_most_max_suggestions_patches(stub):
    stub.contents.append(
        json.dumps({"patches": [{"patch_id": str(i), "ops": [{"op": "insert", "at": i, "text": "x"}]} for i in range(4)]})
    )
    reply = reply_of(
        run_adapter(["--base-url", stub.url + "/ok", "--model", "m"], request_document(max_suggestions=2))
    )
    assert [p["patch_id"] for p in reply["patches"]] == ["0", "1"]

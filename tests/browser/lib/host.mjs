// The native host started as a browser starts it (the wrapper, pipes for standard input and
// output), spoken to frame by frame: for the tests that write what no browser would, and for the
// benchmark.
import { spawn } from "node:child_process";

export class HostProcess {
  constructor(program, args = ["chrome-extension://test/"]) {
    this.child = spawn(program, args, { stdio: ["pipe", "pipe", "inherit"] });
    this.buffer = Buffer.alloc(0);
    this.waiting = [];
    this.ended = new Promise((resolve) => this.child.on("close", resolve));
    this.child.stdout.on("data", (data) => {
      this.buffer = Buffer.concat([this.buffer, data]);
      while (this.buffer.length >= 4 && this.buffer.length >= 4 + this.buffer.readUInt32LE(0)) {
        const length = this.buffer.readUInt32LE(0);
        const body = this.buffer.subarray(4, 4 + length).toString("utf8");
        this.buffer = this.buffer.subarray(4 + length);
        const next = this.waiting.shift();
        next?.(JSON.parse(body));
      }
    });
  }

  // Sends one frame with `body` (bytes) and resolves to the next reply.
  raw(body) {
    const header = Buffer.alloc(4);
    header.writeUInt32LE(body.length);
    return new Promise((resolve) => {
      this.waiting.push(resolve);
      this.child.stdin.write(Buffer.concat([header, body]));
    });
  }

  request(message) {
    return this.raw(Buffer.from(JSON.stringify(message), "utf8"));
  }

  // Closes the host's input, as a browser does, and waits for it to end.
  async close() {
    this.child.stdin.end();
    return this.ended;
  }
}

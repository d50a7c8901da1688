// An aedes broker on 127.0.0.1 for the tests: `node broker.mjs PORT` (0: any free port).
// Prints "listening PORT" once it accepts, and stops on SIGTERM or when stdin closes.
import net from 'node:net';
import { Aedes } from './node_modules/aedes/aedes.js';

const broker = await Aedes.createBroker();
const server = net.createServer(broker.handle);
server.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
  console.log(`listening ${server.address().port}`);
});
const stop = () => server.close(() => broker.close(() => process.exit(0)));
process.on('SIGTERM', stop);
process.stdin.on('end', stop);
process.stdin.resume();
